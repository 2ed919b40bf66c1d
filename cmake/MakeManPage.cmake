# Writes a manual page for one of our console tools from what its --help prints, so the page
# always says what the tool does.
#   cmake -DTOOL=<program> -DREL=<path in the tool folder> -DNAME=<name> -DSUMMARY=<one line> -DVERSION=<v> -DOUT=<file> -P MakeManPage.cmake
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc TIMEOUT 20)
set(_text "${_out}${_err}")
if(_text STREQUAL "")
  message(FATAL_ERROR "${NAME} --help printed nothing")
endif()
# roff: a backslash is written \e; a line that starts with . or ' is protected by \&.
string(REPLACE "\\" "\\e" _text "${_text}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" _text "${_text}")
string(TOUPPER "orvex-${NAME}" _upper)
file(WRITE ${OUT}
  ".TH ${_upper} 1 \"\" \"Orvex ${VERSION}\" \"Orvex tools\"\n"
  ".SH NAME\norvex-${NAME} \\- ${SUMMARY}\n"
  ".SH SYNOPSIS\n.B /usr/lib/orvex/${REL}\n.RI [ OPTIONS ]\n"
  ".SH DESCRIPTION\n"
  "\\fB${NAME}\\fR is a console tool of the Orvex tool folder (installed under \\fI/usr/lib/orvex\\fR); "
  "\\fBorvex\\fR and \\fBorvex-cli\\fR start it with the command lines below. It can also be run by hand.\n"
  ".PP\n.nf\n${_text}\n.fi\n"
  ".SH SEE ALSO\n\\fBorvex-cli\\fR(1)\n")
