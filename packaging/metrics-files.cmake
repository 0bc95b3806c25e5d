# Makes the metrics script, its service and timer and the Ansible fact from their templates beside
# this file, naming where halvane and the script are installed under one prefix. CMakeLists.txt
# runs it twice: at configure time, for the build tree's copies that the tests run, and at install
# time with the prefix of that install, so that an installed file names its own prefix whether it
# was given when the build was configured or to cmake --install --prefix.
#   HALVANE_METRICS_OUTPUT   the folder the files are made in
#   HALVANE_METRICS_PREFIX   the install prefix (a relative one is taken from the current folder,
#                            as cmake --install --prefix takes it)
#   HALVANE_METRICS_BINDIR, HALVANE_METRICS_LIBEXECDIR   GNUInstallDirs' folders, relative to the
#                            prefix or absolute
# cmake --install --prefix / gives an empty prefix, to which the install's folders are appended.
if(HALVANE_METRICS_PREFIX STREQUAL "")
  set(HALVANE_METRICS_PREFIX /)
endif()
cmake_path(ABSOLUTE_PATH HALVANE_METRICS_PREFIX NORMALIZE)
cmake_path(APPEND HALVANE_METRICS_PREFIX "${HALVANE_METRICS_BINDIR}" halvane
  OUTPUT_VARIABLE HALVANE_INSTALLED_BINARY)
cmake_path(NORMAL_PATH HALVANE_INSTALLED_BINARY)
cmake_path(APPEND HALVANE_METRICS_PREFIX "${HALVANE_METRICS_LIBEXECDIR}" halvane halvane-metrics
  OUTPUT_VARIABLE HALVANE_METRICS_SCRIPT)
cmake_path(NORMAL_PATH HALVANE_METRICS_SCRIPT)

configure_file(${CMAKE_CURRENT_LIST_DIR}/halvane-metrics.in ${HALVANE_METRICS_OUTPUT}/halvane-metrics
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
  WORLD_EXECUTE)
foreach(file halvane-metrics.service halvane-metrics.timer halvane.fact)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${file}.in ${HALVANE_METRICS_OUTPUT}/${file} @ONLY)
endforeach()
