# Renders a manual page as plain text for readers without man, with Windows
# line ends (the Windows archive's kvprofile.txt):
#   cmake -DGROFF=groff -DPAGE=kvprofile.1 -DOUT=kvprofile.txt -P render-man.cmake
# Plain ASCII without overstrikes or escape sequences, the width of a
# terminal's man, so that any editor shows it as man would.
execute_process(
  COMMAND ${GROFF} -k -t -man -Tascii -P-cbou -rLL=78n ${PAGE}
  OUTPUT_VARIABLE text
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff could not render ${PAGE} (${status}):\n${errors}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
