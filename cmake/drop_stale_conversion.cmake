# cmake -DNN=.../network.nn -DTXT=.../network.txt -P drop_stale_conversion.cmake
#
# Removes NN when TXT is newer.  The engine reads network.nn first and
# converts network.txt only when network.nn is missing, so the conversion
# that a start in data/ left behind would hide an updated data/network.txt
# (a pull, or a network installed by tools/improve.py) without a word.
if(EXISTS "${NN}" AND EXISTS "${TXT}" AND "${TXT}" IS_NEWER_THAN "${NN}")
  file(REMOVE "${NN}")
  message(STATUS "Removed ${NN}: older than ${TXT}; the engine converts it again on its next start")
endif()
