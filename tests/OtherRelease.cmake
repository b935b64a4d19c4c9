# A release for another firmware version: a small tree (the host tools: the string table, the
# Windows resource writer, the image maker) configured with other firmware file names must offer
# them in the string table every platform reads and make its images under them.
#   cmake -DSOURCE=<tree> -DBINARY=<folder> -P OtherRelease.cmake
set(viz 612001.017)
set(other 612002.018)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G Ninja -DCMAKE_BUILD_TYPE=Release
                        -DREFLASHER_HOST_TOOLS_ONLY=ON -DREFLASHER_FIRMWARE_VIZ=${viz} -DREFLASHER_FIRMWARE_OTHER=${other}
                RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
  message(FATAL_ERROR "the tree with other firmware names does not configure")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --target reflasher_make_resources firmware_images
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "the tree with other firmware names does not build")
endif()
file(MAKE_DIRECTORY ${BINARY}/rc)
execute_process(COMMAND ${BINARY}/res/reflasher_make_resources ${BINARY}/rc 1.0 RESULT_VARIABLE failed)
file(READ ${BINARY}/rc/Reflasher.rc script)
foreach(entry "102, \"${viz}\"" "103, \"${other}\"")
  string(FIND "${script}" "${entry}" at)
  if(failed OR at EQUAL -1)
    message(FATAL_ERROR "the Windows string table lacks ${entry}")
  endif()
endforeach()
# The Linux wizard links the same table.
file(STRINGS ${BINARY}/res/libreflasher_res.a linked REGEX "61200[12]")
if(NOT linked MATCHES "${viz}" OR NOT linked MATCHES "${other}")
  message(FATAL_ERROR "the string table library lacks the names: ${linked}")
endif()
foreach(image ${viz} ${other})
  if(NOT EXISTS ${BINARY}/bin/${image})
    message(FATAL_ERROR "no firmware image ${image}")
  endif()
endforeach()
if(EXISTS ${BINARY}/bin/508231.005)
  message(FATAL_ERROR "an image under the default name was made too")
endif()
file(REMOVE_RECURSE ${BINARY})
