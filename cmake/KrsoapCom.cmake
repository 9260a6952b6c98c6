# The build helpers of a krsoap component module: compiling its interface
# description (.idl) with the interface compiler, embedding its resources
# (.krres), and publishing a service module (its WSDL and WSML, and for
# development its registration). The one definition used by this source tree
# (included from platform/com/CMakeLists.txt, where the tools are the targets
# krcomgen and krsoap) and by services built against an installed krsoap
# (included from krsoapConfig.cmake: krsoap::krcomgen, krsoap::krsoap).
#
# Run as a script (cmake -P) it is the step of krsoap_service_publish that
# defines a request queue unless it exists already.
if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT KRSOAP_TOOL OR NOT DEFINED KRSOAP_QUEUE)
    message(FATAL_ERROR "usage: cmake -DKRSOAP_TOOL=krsoap -DKRSOAP_QM=QM -DKRSOAP_QUEUE=Q -P KrsoapCom.cmake")
  endif()
  execute_process(COMMAND ${KRSOAP_TOOL} qm define "${KRSOAP_QM}" "${KRSOAP_QUEUE}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # 2231: the queue is defined already, which is what was wanted.
  if(NOT rc EQUAL 0 AND NOT err MATCHES "2231")
    message(FATAL_ERROR "cannot define the queue ${KRSOAP_QUEUE}: ${err}")
  endif()
  return()
endif()

# The interface compiler: the in-tree target when there is one, else the
# installed package's.
function(_krsoap_comgen_tool out)
  if(TARGET krcomgen)
    set(${out} krcomgen PARENT_SCOPE)
  elseif(TARGET krsoap::krcomgen)
    set(${out} krsoap::krcomgen PARENT_SCOPE)
  else()
    message(FATAL_ERROR "the interface compiler krcomgen is not known here: use find_package(krsoap)")
  endif()
endfunction()

# The krsoap tool, likewise.
function(_krsoap_tool out)
  if(TARGET krsoap AND NOT TARGET krsoap::krsoap)
    set(${out} krsoap PARENT_SCOPE)
  elseif(TARGET krsoap::krsoap)
    set(${out} krsoap::krsoap PARENT_SCOPE)
  else()
    message(FATAL_ERROR "the krsoap tool is not known here: use find_package(krsoap)")
  endif()
endfunction()

# krsoap_com_idl(TARGET IDL_FILE)
#   Runs the interface compiler on IDL_FILE and adds its outputs to TARGET:
#   <stem>.h (the declarations; include it as "<stem>.h"), <stem>.tlb (the
#   type library, also used by krsoap_com_resources) and <stem>_desc.cpp (the
#   interface descriptions, compiled into TARGET).
function(krsoap_com_idl target idl)
  _krsoap_comgen_tool(comgen)
  get_filename_component(idl_abs ${idl} ABSOLUTE)
  get_filename_component(stem ${idl} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/comgen)
  file(MAKE_DIRECTORY ${out})
  # Several targets of one directory may compile the same description: the
  # command is made once, owned by a custom target that every user depends
  # on, so that no target compiles against a header not yet written.
  get_property(gen DIRECTORY PROPERTY KRSOAP_COMGEN_${stem})
  if(NOT gen)
    add_custom_command(
      OUTPUT ${out}/${stem}.h ${out}/${stem}.tlb ${out}/${stem}_desc.cpp
      COMMAND ${comgen} idl ${idl_abs} ${out}/${stem}.h ${out}/${stem}.tlb ${out}/${stem}_desc.cpp
      DEPENDS ${comgen} ${idl_abs}
      COMMENT "Compiling interface description ${stem}.idl"
      VERBATIM)
    set(gen ${target}_comgen_${stem})
    add_custom_target(${gen} DEPENDS ${out}/${stem}.h ${out}/${stem}.tlb ${out}/${stem}_desc.cpp)
    set_property(DIRECTORY PROPERTY KRSOAP_COMGEN_${stem} ${gen})
  endif()
  add_dependencies(${target} ${gen})
  target_sources(${target} PRIVATE ${out}/${stem}.h ${out}/${stem}_desc.cpp)
  target_include_directories(${target} PRIVATE ${out})
endfunction()

# krsoap_com_resources(TARGET RESOURCE_LIST [DEPENDS files...])
#   Embeds the resources named in RESOURCE_LIST (files found beside it or
#   among the interface compiler's outputs) into TARGET.
function(krsoap_com_resources target list)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  _krsoap_comgen_tool(comgen)
  get_filename_component(list_abs ${list} ABSOLUTE)
  get_filename_component(list_dir ${list_abs} DIRECTORY)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/comgen)
  file(MAKE_DIRECTORY ${out})
  # The list is read here for its file dependencies; editing it re-configures.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_abs})
  file(STRINGS ${list_abs} lines)
  set(deps ${list_abs})
  foreach(line ${lines})
    if(line MATCHES "^[ \t]*(REGISTRY|TYPELIB)[ \t]+[0-9]+[ \t]+\"?([^\" \t#]+)")
      if(EXISTS ${list_dir}/${CMAKE_MATCH_2})
        list(APPEND deps ${list_dir}/${CMAKE_MATCH_2})
      else()
        list(APPEND deps ${out}/${CMAKE_MATCH_2})
      endif()
    endif()
  endforeach()
  add_custom_command(
    OUTPUT ${out}/${target}_resources.cpp
    COMMAND ${comgen} res ${list_abs} ${out}/${target}_resources.cpp ${out}
    DEPENDS ${comgen} ${deps} ${ARG_DEPENDS}
    COMMENT "Embedding resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out}/${target}_resources.cpp)
endfunction()

# krsoap_service_publish(TARGET ADDRESS ADDRESS [SERVICE NAME] [REGISTER])
#   After each build of the service module TARGET, writes NAME.wsdl and
#   NAME.wsml into the build directory from the module's type library
#   ("krsoap wsdl", NAME being the class's name there; default TARGET), the
#   port at ADDRESS ("krs:QUEUE@QMGR" or an http: URL). At configure time
#   it writes host.conf beside them: a host serving them on QUEUE of QMGR
#   ("krsoap serve --config host.conf"). REGISTER, for development, also
#   registers the built module ("krsoap register") and defines the request
#   queue unless it exists, in the data root of the user who builds.
function(krsoap_service_publish target)
  cmake_parse_arguments(ARG "REGISTER" "ADDRESS;SERVICE" "" ${ARGN})
  if(NOT ARG_ADDRESS)
    message(FATAL_ERROR "krsoap_service_publish(${target}): ADDRESS is missing")
  endif()
  if(NOT ARG_SERVICE)
    set(ARG_SERVICE ${target})
  endif()
  _krsoap_tool(tool)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(steps)
  if(ARG_REGISTER)
    list(APPEND steps COMMAND ${tool} register $<TARGET_FILE:${target}>)
  endif()
  list(APPEND steps COMMAND ${tool} wsdl $<TARGET_FILE:${target}> --address ${ARG_ADDRESS} --out ${out})
  if(ARG_ADDRESS MATCHES "^[kK][rR][sS]:([^@]+)@(.*)$")
    set(queue ${CMAKE_MATCH_1})
    set(qm ${CMAKE_MATCH_2})
    if(ARG_REGISTER)
      list(APPEND steps COMMAND ${CMAKE_COMMAND} -DKRSOAP_TOOL=$<TARGET_FILE:${tool}> -DKRSOAP_QM=${qm}
           -DKRSOAP_QUEUE=${queue} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
    endif()
    string(TOLOWER "${ARG_SERVICE}" monitor)
    file(WRITE ${out}/host.conf
"; A host serving ${ARG_SERVICE} on its request queue: krsoap serve --config ${out}/host.conf
; (written by the build; see docs/server.md for the settings)
[monitor ${monitor}]
queue_manager = ${qm}
queue = ${queue}
wsdl = ${out}/${ARG_SERVICE}.wsdl
wsml = ${out}/${ARG_SERVICE}.wsml
can_reuse_object = 1
status_file = ${out}/${monitor}.status
")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD ${steps}
    COMMENT "Publishing ${ARG_SERVICE}: ${ARG_SERVICE}.wsdl and ${ARG_SERVICE}.wsml"
    VERBATIM)
endfunction()
