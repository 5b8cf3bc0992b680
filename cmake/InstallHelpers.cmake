# Install helpers shared by the library and the platform libraries.
#
# Components: "runtime" holds the shared libraries, "dev" the headers, the
# development symlinks, the CMake package and the pkg-config module,
# "xbagent" the program and its documentation.

# xb_install_library(TARGET [EXPORT]): the versioned library in the library
# directory; with EXPORT also in the XtraBackupUtil CMake package.
function(xb_install_library target)
  set(export_args)
  if("EXPORT" IN_LIST ARGN)
    set(export_args EXPORT XtraBackupUtilTargets)
  endif()
  install(TARGETS ${target} ${export_args}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      COMPONENT runtime
      NAMELINK_COMPONENT dev)
endfunction()

# xb_install_headers(SUBDIR FILE...): headers the public header includes,
# under the project's include directory.
function(xb_install_headers subdir)
  install(FILES ${ARGN}
    DESTINATION ${XB_INSTALL_INCLUDEDIR}/${subdir}
    COMPONENT dev)
endfunction()
