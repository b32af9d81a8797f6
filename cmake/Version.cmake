# The project's one version (project() in the top CMakeLists.txt) as the programs carry it:
# a VERSIONINFO resource in each Windows program; code that prints it gets
# LAUNCHER_VERSION="${PROJECT_VERSION}" as a definition.
set(LAUNCHER_PRODUCT_NAME "Veltmora Launcher")
set(LAUNCHER_COPYRIGHT "Copyright (C) 2026 The Veltmora Launcher authors")

# launcher_version_info(TARGET FILE_NAME DESCRIPTION): the version resource of one Windows
# program (an executable target: a resource in a static library would not be linked).
function(launcher_version_info target file_name description)
  if(NOT WIN32)
    return()
  endif()
  set(VERSION_FILE_NAME ${file_name})
  set(VERSION_DESCRIPTION ${description})
  get_filename_component(VERSION_INTERNAL_NAME ${file_name} NAME_WE)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
