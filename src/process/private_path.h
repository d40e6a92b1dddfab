// Whether a file the relay makes at a path could be swapped for another user's: the published
// segment and a Unix-domain listener are made only where it cannot.
#pragma once

#include <string>

namespace eventid {

// The directory of where, or the first one above it, in which a user other than ours or root
// could put a file of their own at a name: empty when there is none, else that directory and,
// in *why, what is wrong with it, with errno set to the error that says it best. A link on the
// way that another user owns is such a place too. On Windows always empty: a directory's ACL
// decides there.
std::string unsafe_directory(const std::string& where, std::string* why);

}  // namespace eventid
