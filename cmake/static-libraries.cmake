# Read at the end of project() by the cross toolchain files: from here on
# find_library and the find modules pick static archives only.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
