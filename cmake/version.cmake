# Every program that ships carries a version resource: the product, the project's version and
# a Russian description of the file, as Explorer shows them.
set(ZK_PRODUCT_NAME "Станция ZK-47")

function(zk_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(ZK_FILE_NAME ${target})
  set(ZK_FILE_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES COMPILE_OPTIONS "-c;65001")
  target_sources(${target} PRIVATE ${rc})
endfunction()
