# The gSOAP anchor of the end-to-end benchmarks (see gsoap_calc.h): when
# Debian's gsoap is installed (soapcpp2 and libgsoap++; install-gsoap.sh
# installs them), soapcpp2 generates the Calculator's Add from calc.gsoap.h
# and the static library krbench_gsoap holds its server and client. Without
# gsoap nothing is built and the benchmarks run without the anchor. Only
# benchmarks link it; it is no dependency of any product module.
#
# krsoap_gsoap_anchor(target) links `target` to the anchor and defines
# KRSOAP_BENCH_GSOAP=1 when the anchor is there.
set(_krsoap_gsoap_dir ${CMAKE_SOURCE_DIR}/bench/gsoap_anchor)
get_property(_krsoap_gsoap_checked GLOBAL PROPERTY KRSOAP_GSOAP_CHECKED)
if(NOT _krsoap_gsoap_checked)
  set_property(GLOBAL PROPERTY KRSOAP_GSOAP_CHECKED TRUE)
  find_program(KRSOAP_SOAPCPP2 soapcpp2)
  pkg_check_modules(GSOAPXX QUIET IMPORTED_TARGET GLOBAL gsoap++)
  if(KRSOAP_SOAPCPP2 AND GSOAPXX_FOUND)
    set(_gen ${CMAKE_BINARY_DIR}/bench/gsoap_anchor)
    file(MAKE_DIRECTORY ${_gen})
    add_custom_command(
      OUTPUT ${_gen}/soapC.cpp ${_gen}/soapServer.cpp ${_gen}/soapClient.cpp ${_gen}/soapH.h ${_gen}/soapStub.h
             ${_gen}/calc.nsmap
      COMMAND ${KRSOAP_SOAPCPP2} -L -x -w -d ${_gen} ${_krsoap_gsoap_dir}/calc.gsoap.h
      DEPENDS ${_krsoap_gsoap_dir}/calc.gsoap.h
      COMMENT "soapcpp2: the gSOAP anchor's Calculator Add"
      VERBATIM)
    add_library(krbench_gsoap STATIC ${_krsoap_gsoap_dir}/gsoap_calc.cpp ${_gen}/soapC.cpp ${_gen}/soapServer.cpp
                                     ${_gen}/soapClient.cpp)
    target_include_directories(krbench_gsoap PRIVATE ${_gen})
    # Generated code: its warnings are not ours. libgsoap++ calls back into the
    # generated serialisers, so they keep default visibility.
    target_compile_options(krbench_gsoap PRIVATE -w -fvisibility=default -fno-visibility-inlines-hidden)
    target_link_libraries(krbench_gsoap PUBLIC PkgConfig::GSOAPXX Threads::Threads)
  else()
    message(STATUS "gsoap (soapcpp2, libgsoap++) not found: the end-to-end benchmarks run without their gSOAP "
                   "anchor (bench/gsoap_anchor/install-gsoap.sh installs it)")
  endif()
endif()

function(krsoap_gsoap_anchor target)
  if(TARGET krbench_gsoap)
    target_link_libraries(${target} PRIVATE krbench_gsoap)
    target_compile_definitions(${target} PRIVATE KRSOAP_BENCH_GSOAP=1)
  endif()
endfunction()
