# vexo_add_version_resource(target): gives the program its file version, from the project version.
# Windows: a VERSIONINFO resource compiled by windres. Linux: the same 52-byte fixed
# file-information block in an ELF section named .vexo_version.
function(vexo_add_version_resource target)
  set(VEXO_VERSION_COMMAS
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")
  if(WIN32)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
  else()
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/version_section.cpp)
    set_source_files_properties(${PROJECT_SOURCE_DIR}/cmake/version_section.cpp PROPERTIES
      COMPILE_DEFINITIONS
      "VEXO_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};VEXO_VERSION_MINOR=${PROJECT_VERSION_MINOR};VEXO_VERSION_PATCH=${PROJECT_VERSION_PATCH};VEXO_VERSION_TWEAK=${PROJECT_VERSION_TWEAK}")
  endif()
endfunction()
