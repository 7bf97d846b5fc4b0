# Runs `pkcs11-tool --module <module> --show-info` and checks that the tool
# found the library and printed its description.
execute_process(COMMAND ${PKCS11_TOOL} --module ${MODULE} --show-info
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
message(STATUS "pkcs11-tool exited with ${rc}\n${out}${err}")
foreach(expected "Cryptoki version 2.20" "Manufacturer +Velmoran s\\.r\\.o\\." "Library +Zentrik 3\\.0 PKCS#11 \\(ver 3\\.0\\)")
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "pkcs11-tool output lacks \"${expected}\"")
  endif()
endforeach()
