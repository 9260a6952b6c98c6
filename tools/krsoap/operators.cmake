# What the service host needs to run under a service manager and be watched:
# libsystemd for its readiness notifications, the JSON library of `krsoap
# status --json` and `krsoap metrics`, and the install rules of the systemd
# unit and the example host configuration.
include(GNUInstallDirs)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(krsoap PRIVATE PkgConfig::SYSTEMD)
find_package(nlohmann_json 3 CONFIG REQUIRED)
target_link_libraries(krsoap PRIVATE nlohmann_json::nlohmann_json)

# The unit names the installed krsoap; the directory is where systemd looks
# for units of this prefix (/usr/local/lib/systemd/system, /usr/lib/...).
set(KRSOAP_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit is installed, under the prefix")
set(KRSOAP_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/krsoap/systemd/krsoap.service.in
               ${CMAKE_BINARY_DIR}/share/systemd/krsoap.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/share/systemd/krsoap.service DESTINATION ${KRSOAP_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/krsoap/host.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR})
