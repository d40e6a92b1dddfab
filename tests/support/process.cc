#include "support/process.h"

#include <fstream>
#include <sstream>

namespace eventid::test {

namespace {

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string Process::out() const {
  return read_whole(out_path_);
}
std::string Process::err() const {
  return read_whole(err_path_);
}

}  // namespace eventid::test
