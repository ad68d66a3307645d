# Debian's libthrift-dev ships pkg-config files only; this wraps them as Thrift::thrift.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PC_THRIFT QUIET thrift)
find_path(THRIFT_INCLUDE_DIR thrift/Thrift.h HINTS ${PC_THRIFT_INCLUDE_DIRS})
find_library(THRIFT_LIBRARY NAMES thrift HINTS ${PC_THRIFT_LIBRARY_DIRS})
find_program(THRIFT_COMPILER thrift)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Thrift REQUIRED_VARS THRIFT_LIBRARY THRIFT_INCLUDE_DIR THRIFT_COMPILER
                                  VERSION_VAR PC_THRIFT_VERSION)
if(Thrift_FOUND AND NOT TARGET Thrift::thrift)
  add_library(Thrift::thrift UNKNOWN IMPORTED)
  set_target_properties(Thrift::thrift PROPERTIES IMPORTED_LOCATION ${THRIFT_LIBRARY}
                        INTERFACE_INCLUDE_DIRECTORIES ${THRIFT_INCLUDE_DIR})
endif()
