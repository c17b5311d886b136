# Run by CPack on the staged files before it packs them: strips the programs as Debian strips its
# own packages' programs, debugging symbols and the compilers' identification sections alike.
file(GLOB programs "${CPACK_TEMPORARY_DIRECTORY}/usr/bin/*")
if(NOT programs)
  message(FATAL_ERROR "no programs staged under ${CPACK_TEMPORARY_DIRECTORY}/usr/bin")
endif()
foreach(program ${programs})
  execute_process(COMMAND ${CPACK_EFIS_STRIP} --remove-section=.comment --remove-section=.note ${program}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CPACK_EFIS_STRIP} failed on ${program}")
  endif()
endforeach()
