# Archives for users (scripts/package runs CPack in each build):
#   Windows build: kavro-0.0.2-windows.zip, holding kavro/kavro.exe, kavro/readme.txt and
#                  kavro/relay.txt, to be unzipped into the simulator's folder.
#   Linux build:   kavro-0.0.2-linux.tar.gz, holding kavro/kavro, kavro/readme.txt and
#                  kavro/relay.txt, the same way; and kavro-relay-0.0.2-linux.tar.gz, holding
#                  bin/kavro-relay.
set(kavro_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})

set(CPACK_PACKAGE_NAME kavro)
set(CPACK_PACKAGE_VERSION ${kavro_version})
set(CPACK_PACKAGE_VENDOR "Kavro")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Broadcast an LFS replay while it is being recorded")
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
# Paths in the archives start at the folder the user unpacks into.
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_COMPONENTS_ALL client)
  set(CPACK_ARCHIVE_CLIENT_FILE_NAME kavro-${kavro_version}-windows)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_COMPONENTS_ALL client relay)
  set(CPACK_ARCHIVE_CLIENT_FILE_NAME kavro-${kavro_version}-linux)
  set(CPACK_ARCHIVE_RELAY_FILE_NAME kavro-relay-${kavro_version}-linux)
endif()

include(CPack)
