# find_package(eventid): eventid::eventid (the shared library) and eventid::eventid_static.
include(CMakeFindDependencyMacro)
# The static library's threads.
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/eventidTargets.cmake")
