# cmake -DWORK=DIR -DSCRIPT=cmake/drop_stale_conversion.cmake -P drop_stale_conversion_test.cmake
# A network.nn older than network.txt is removed by the build; one converted
# after it stays.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
function(run_script)
  execute_process(COMMAND "${CMAKE_COMMAND}" -DNN=${WORK}/network.nn -DTXT=${WORK}/network.txt -P "${SCRIPT}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the script failed: ${status}")
  endif()
endfunction()

file(WRITE "${WORK}/network.nn" "conversion of the old network")
execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1.1)
file(WRITE "${WORK}/network.txt" "updated network")
run_script()
if(EXISTS "${WORK}/network.nn")
  message(FATAL_ERROR "a network.nn older than network.txt was kept")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1.1)
file(WRITE "${WORK}/network.nn" "conversion of the updated network")
run_script()
if(NOT EXISTS "${WORK}/network.nn" OR NOT EXISTS "${WORK}/network.txt")
  message(FATAL_ERROR "a network.nn newer than network.txt was removed")
endif()
file(REMOVE_RECURSE "${WORK}")
