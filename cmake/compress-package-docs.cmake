# Run by cpack once it has installed the package's files into its staging folder: Debian keeps
# manual pages and changelogs compressed, with gzip -9n so that the package is the same bytes
# from one build to the next (no file name or time stamp inside).
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
foreach(file IN LISTS CPACK_HALVANE_COMPRESSED_FILES)
  if(NOT EXISTS "${root}/${file}")
    message(FATAL_ERROR "the package lacks ${file}")
  endif()
  execute_process(COMMAND gzip -9nf "${root}/${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
