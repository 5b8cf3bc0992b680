# Debian packages (cpack -G DEB, or ./run package). The first line of a
# component's description is its package's summary.
#   libxtrabackuputil1     the library and the platform libraries
#   libxtrabackuputil-dev  headers, CMake package, pkg-config module
#   xbagent                the backup agent, its manual page and completion
set(CPACK_PACKAGE_NAME xtrabackuputil)
set(CPACK_PACKAGE_VENDOR "XtraBackupUtil developers")
set(CPACK_PACKAGE_CONTACT "XtraBackupUtil developers <xtrabackuputil@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on system libraries come from dpkg-shlibdeps; the packages'
# own libraries are found in the build tree and depended on by component.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "libXtraBackupUtil runtime")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Shared library that drives the XtraBackup hot-backup tool\n\
libXtraBackupUtil and the platform libraries it is linked against\n\
(libKaUtils, libZuLib, libzuMySqlChildProcess, libMySqlCommon).")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libxtrabackuputil${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)

set(CPACK_COMPONENT_DEV_DISPLAY_NAME "libXtraBackupUtil development files")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Development files of libXtraBackupUtil\n\
The public header with the platform headers it includes, the CMake package\n\
XtraBackupUtil and the pkg-config module xtrabackuputil.")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libxtrabackuputil-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libboost-dev")

if(XB_BUILD_XBAGENT)
  list(APPEND CPACK_COMPONENTS_ALL xbagent)
  set(CPACK_COMPONENT_XBAGENT_DISPLAY_NAME "xbagent")
  set(CPACK_COMPONENT_XBAGENT_DESCRIPTION
    "Backup agent for MariaDB built on libXtraBackupUtil\n\
Backs up a whole server or one database with mariabackup, restores a whole\n\
server into a new data directory or one database into a running server.")
  set(CPACK_COMPONENT_XBAGENT_DEPENDS runtime)
  set(CPACK_DEBIAN_XBAGENT_PACKAGE_NAME xbagent)
  set(CPACK_DEBIAN_XBAGENT_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_XBAGENT_PACKAGE_DEPENDS "mariadb-backup, mariadb-client")
endif()

include(CPack)
