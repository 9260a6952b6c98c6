# What "cmake --install" lays out, and the CMake and pkg-config packages that
# let a service build against the installed krsoap:
#
#   bin/                    krsoap, krcomgen (the interface compiler)
#   lib/                    libkrplatform, the component modules (halvex,
#                           corvel, krxml, krsoap), the queue manager's
#                           bindings (krm, krcl), the example Calculator
#   lib/cmake/krsoap/       find_package(krsoap): the targets krsoap::krplatform,
#                           krsoap::krm, krsoap::krcl, krsoap::krcomgen,
#                           krsoap::krsoap and krsoap_com_idl/_resources
#   lib/pkgconfig/krsoap.pc
#   lib/python3/dist-packages/krsoap/   the Python package (docs/python.md)
#   include/krsoap/         the headers a module is written with, and idl/
#                           the interface descriptions it may import
#   share/krsoap/examples/  the Calculator's sources, WSDL and WSML
#
# Installed programs and modules find the modules through RUNPATH $ORIGIN
# (../lib beside the programs), so an installation can be moved whole.
include(CMakePackageConfigHelpers)

set(KRSOAP_INSTALL_CMAKEDIR lib/cmake/krsoap)
set(KRSOAP_INSTALL_IDLDIR include/krsoap/idl)

set(krsoap_programs krsoap krcomgen)
set(krsoap_exported_libraries krplatform krm krcl)
set(krsoap_modules halvex corvel krxml krsoaptk krcalculator)

foreach(t ${krsoap_programs})
  set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
endforeach()
foreach(t ${krsoap_exported_libraries} ${krsoap_modules})
  if(TARGET ${t})
    set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
endforeach()

# Code built against the package includes "platform/com/server.h" and the
# queue calls' "common/queue/krqueue.h", as this tree does.
target_include_directories(krplatform INTERFACE $<INSTALL_INTERFACE:include/krsoap>)
target_include_directories(krm INTERFACE $<INSTALL_INTERFACE:include/krsoap>)
target_include_directories(krcl INTERFACE $<INSTALL_INTERFACE:include/krsoap>)

install(TARGETS ${krsoap_programs} ${krsoap_exported_libraries}
  EXPORT krsoapTargets
  RUNTIME DESTINATION bin
  LIBRARY DESTINATION lib)
foreach(t ${krsoap_modules})
  if(TARGET ${t})
    install(TARGETS ${t} LIBRARY DESTINATION lib)
  endif()
endforeach()

# The headers: the platform services a module's code and its generated
# declarations include, and the queue calls.
foreach(service com win32 text sync memory module files registry)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/${service}/
    DESTINATION include/krsoap/platform/${service}
    FILES_MATCHING PATTERN "*.h"
    PATTERN "gen" EXCLUDE PATTERN "rpc" EXCLUDE)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/common/queue/krqueue.h DESTINATION include/krsoap/common/queue)
install(FILES
    ${PROJECT_SOURCE_DIR}/common/soap/xmldom.idl
    ${PROJECT_SOURCE_DIR}/common/soap/soaptoolkit.idl
    ${PROJECT_SOURCE_DIR}/server/halvex.idl
    ${PROJECT_SOURCE_DIR}/client/corvel.idl
  DESTINATION ${KRSOAP_INSTALL_IDLDIR})

# The CMake package.
install(EXPORT krsoapTargets NAMESPACE krsoap:: DESTINATION ${KRSOAP_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/krsoapConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/krsoapConfig.cmake
  INSTALL_DESTINATION ${KRSOAP_INSTALL_CMAKEDIR}
  PATH_VARS KRSOAP_INSTALL_IDLDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/krsoapConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/cmake/krsoapConfig.cmake
    ${PROJECT_BINARY_DIR}/cmake/krsoapConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/KrsoapCom.cmake
  DESTINATION ${KRSOAP_INSTALL_CMAKEDIR})

# pkg-config: paths relative to the .pc file, so the install can be moved.
configure_file(${PROJECT_SOURCE_DIR}/cmake/krsoap.pc.in ${PROJECT_BINARY_DIR}/cmake/krsoap.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cmake/krsoap.pc DESTINATION lib/pkgconfig)

# The Python package over the client bindings.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/krsoap DESTINATION lib/python3/dist-packages
  FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

# The example service, to build against the installed package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/calculator DESTINATION share/krsoap/examples)
