# Read by CPack once per generator. The archives hold the client and the relay under their own
# folders; the Debian package holds the relay's relay_deb component alone, laid out from /.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL relay_deb)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay server for live LFS replay casts")
endif()
