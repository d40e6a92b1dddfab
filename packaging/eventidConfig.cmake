# find_package(eventid): eventid::eventid (the shared library) and eventid::eventid_static.
include(CMakeFindDependencyMacro)
# The static library's threads.
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/eventidTargets.cmake")
# The static library is C++ inside: a project in C alone links with the C compiler, which
# leaves out the C++ runtime unless the library names it.
set_property(TARGET eventid::eventid_static APPEND PROPERTY INTERFACE_LINK_LIBRARIES stdc++ m)
