# Writes the gzipped manual page OUT of PROGRAM from its --help and --version (help2man), with
# the sections of EXTRA (a help2man include file) when it exists.
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DSUMMARY=... -DEXTRA=... -DOUT=... -P ManPage.cmake
get_filename_component(name ${PROGRAM} NAME)
get_filename_component(out_dir ${OUT} DIRECTORY)
set(work ${out_dir}/${name}.man)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/home)

# The program runs without a display and with a home folder of its own, so that it neither needs
# an X server nor reads or writes the settings of whoever builds it.
set(run ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen HOME=${work}/home
  XDG_CONFIG_HOME=${work}/home/.config XDG_DATA_HOME=${work}/home/.local/share LC_ALL=C.UTF-8)

function(program_output out_var)
  execute_process(COMMAND ${run} ${PROGRAM} ${ARGN} TIMEOUT 30
    OUTPUT_VARIABLE text ERROR_VARIABLE error RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name} ${ARGN} does not answer on the console (${rc}): ${error}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# help2man shows a program that hangs (a window instead of help text) as a build that never ends:
# ask once with a time limit first.
program_output(help --help)
program_output(version --version)

set(include_args "")
if(EXISTS ${EXTRA})
  set(include_args --include=${EXTRA})
endif()

execute_process(COMMAND ${run} ${HELP2MAN} --no-info --section=1 --name=${SUMMARY}
    ${include_args} --output=${work}/${name}.1 ${PROGRAM}
  TIMEOUT 60 RESULT_VARIABLE rc ERROR_VARIABLE error)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man ${name}: ${error}")
endif()
execute_process(COMMAND ${GZIP} -9 --no-name --force ${work}/${name}.1 RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${name}.1 failed")
endif()
file(RENAME ${work}/${name}.1.gz ${OUT})
file(REMOVE_RECURSE ${work})
