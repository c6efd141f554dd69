# Run by cpack once the files are staged, before the package is made: removes
# from the programs the sections that Debian's own packages leave out.
if(NOT CPACK_KEXO_STRIP)
  return()
endif()
file(GLOB programas "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(programa IN LISTS programas)
  execute_process(COMMAND "${CPACK_KEXO_STRIP}" --remove-section=.comment --remove-section=.note
                          "${programa}"
                  RESULT_VARIABLE estado)
  if(NOT estado EQUAL 0)
    message(FATAL_ERROR "strip failed on ${programa}")
  endif()
endforeach()
