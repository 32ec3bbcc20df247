# taloma_module(<path-without-extension> [RAW] [LINK libs...] [SOURCES extra...])
#
# Builds the extension module whose source is <path>.cpp as the Python module
# named by the path (taloma/backend/http/client -> taloma.backend.http.client).
# RAW modules use the CPython C API directly; the others use nanobind.

macro(taloma_find_python)
  find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.Module)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m nanobind --cmake_dir
    OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE nanobind_ROOT)
  find_package(nanobind CONFIG REQUIRED)
endmacro()

function(taloma_module path)
  cmake_parse_arguments(ARG "RAW" "" "LINK;SOURCES" ${ARGN})
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/${path}.cpp)
  if(NOT EXISTS ${src})
    return()
  endif()
  get_filename_component(dir ${path} DIRECTORY)
  get_filename_component(name ${path} NAME)
  string(REPLACE "/" "_" target ${path})
  if(ARG_RAW)
    Python_add_library(${target} MODULE WITH_SOABI ${src} ${ARG_SOURCES})
  else()
    nanobind_add_module(${target} NB_STATIC ${src} ${ARG_SOURCES})
  endif()
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "$ORIGIN"
    BUILD_RPATH "${CMAKE_CURRENT_BINARY_DIR}/taloma/Vorn")
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include)
  # Warnings as errors on our own translation units only (nanobind's are its own).
  set_source_files_properties(${src} ${ARG_SOURCES} PROPERTIES COMPILE_OPTIONS "${TALOMA_WARNINGS}")
  if(ARG_LINK)
    target_link_libraries(${target} PRIVATE ${ARG_LINK})
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${dir})
  if(TALOMA_INPLACE)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/)
  endif()
endfunction()
