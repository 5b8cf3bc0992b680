# The CMake package XtraBackupUtil (imported target
# XtraBackupUtil::XtraBackupUtil) and the pkg-config module xtrabackuputil.
include(CMakePackageConfigHelpers)

set(XB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/XtraBackupUtil)

install(EXPORT XtraBackupUtilTargets
  NAMESPACE XtraBackupUtil::
  DESTINATION ${XB_CMAKE_DIR}
  COMPONENT dev)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/XtraBackupUtilConfig.cmake.in
  ${PROJECT_BINARY_DIR}/XtraBackupUtilConfig.cmake
  INSTALL_DESTINATION ${XB_CMAKE_DIR})
# A host written for 1.x works with every later 1.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/XtraBackupUtilConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/XtraBackupUtilConfig.cmake
  ${PROJECT_BINARY_DIR}/XtraBackupUtilConfigVersion.cmake
  DESTINATION ${XB_CMAKE_DIR}
  COMPONENT dev)

configure_file(${CMAKE_CURRENT_LIST_DIR}/xtrabackuputil.pc.in
  ${PROJECT_BINARY_DIR}/xtrabackuputil.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/xtrabackuputil.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

install(FILES LICENSE CHANGELOG.md README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT runtime)
