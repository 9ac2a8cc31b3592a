# Archives for users (scripts/package runs CPack in each build):
#   Windows build: kavro-0.0.2-windows.zip, holding kavro/kavro.exe, kavro/readme.txt and
#                  kavro/relay.txt, to be unzipped into the simulator's folder.
#   Linux build:   kavro-0.0.2-linux.tar.gz, holding kavro/kavro, kavro/readme.txt and
#                  kavro/relay.txt, the same way; kavro-relay-0.0.2-linux.tar.gz, holding
#                  bin/kavro-relay; and the Debian package kavro-relay_0.0.2_amd64.deb (the
#                  program, its systemd unit and /etc/default/kavro-relay; see relay/package/).
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
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_COMPONENTS_ALL client relay)
  set(CPACK_ARCHIVE_CLIENT_FILE_NAME kavro-${kavro_version}-linux)
  set(CPACK_ARCHIVE_RELAY_FILE_NAME kavro-relay-${kavro_version}-linux)
  # The DEB generator packs the relay_deb component alone, from / (cmake/cpack_per_generator).
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_per_generator.cmake)
  set(CPACK_DEBIAN_RELAY_DEB_PACKAGE_NAME kavro-relay)
  set(CPACK_DEBIAN_RELAY_DEB_FILE_NAME kavro-relay_${kavro_version}_amd64.deb)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${kavro_version})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kavro team <relay@kavro.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Its summary line is set in cmake/cpack_per_generator.cmake.
  string(JOIN "\n" CPACK_DEBIAN_RELAY_DEB_DESCRIPTION
         "kavro-relay forwards the replays that Kavro casters upload, while the"
         "simulator is still recording them, to every Kavro watcher of the cast,"
         "late joiners included."
         "."
         "It keeps each race in its data folder (/var/lib/kavro-relay) as a replay"
         "file and a SQLite catalogue, brings the casts that were live back after a"
         "restart, and serves a status page, an archive of races to download and"
         "Prometheus metrics on 127.0.0.1:47476.")
  set(package_scripts ${PROJECT_SOURCE_DIR}/relay/package)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${package_scripts}/postinst ${package_scripts}/prerm
                                         ${package_scripts}/postrm ${package_scripts}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
