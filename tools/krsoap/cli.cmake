# The krsoap tool's command line: CLI11 (header-only), the product version it
# reports, and the bash completion and man pages written from its command
# definitions after each link, with their install rules.
include(GNUInstallDirs)
find_package(CLI11 CONFIG REQUIRED)
target_link_libraries(krsoap PRIVATE CLI11::CLI11)

# krsoap --version reports the product version the modules' version blocks
# carry; halvex's resource script is where it is kept.
file(STRINGS ${CMAKE_SOURCE_DIR}/server/halvex.krres krsoap_product_version_line
     REGEX "^VERSION ProductVersion \"[^\"]+\"")
string(REGEX REPLACE "^VERSION ProductVersion \"([^\"]+)\".*" "\\1" krsoap_product_version
       "${krsoap_product_version_line}")
if(NOT krsoap_product_version)
  message(FATAL_ERROR "server/halvex.krres has no VERSION ProductVersion line")
endif()
target_compile_definitions(krsoap PRIVATE KRSOAP_PRODUCT_VERSION="${krsoap_product_version}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/server/halvex.krres)

set(krsoap_doc_dir ${CMAKE_BINARY_DIR}/share)
add_custom_command(TARGET krsoap POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${krsoap_doc_dir}/man/man1 ${krsoap_doc_dir}/bash-completion/completions
  COMMAND $<TARGET_FILE:krsoap> --generate-man ${krsoap_doc_dir}/man/man1
  COMMAND $<TARGET_FILE:krsoap> --generate-completion > ${krsoap_doc_dir}/bash-completion/completions/krsoap
  COMMENT "Writing the krsoap man pages and bash completion"
  VERBATIM)
install(FILES ${krsoap_doc_dir}/bash-completion/completions/krsoap
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(DIRECTORY ${krsoap_doc_dir}/man/man1/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        FILES_MATCHING PATTERN "krsoap*.1")
