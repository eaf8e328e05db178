# Writes README.txt of the Windows zip: the "## Windows" section of README.md, up to
# the next section, under a title with the version, with CR LF line ends for Notepad.
# Run with cmake -DREADME=README.md -DOUTPUT=README.txt -DVERSION=x.y -P.
file(READ ${README} readme)
string(FIND "${readme}" "\n## Windows\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${README} has no \"## Windows\" section")
endif()
math(EXPR start "${start} + 12")
string(SUBSTRING "${readme}" ${start} -1 section)
string(FIND "${section}" "\n## " end)
if(NOT end EQUAL -1)
  string(SUBSTRING "${section}" 0 ${end} section)
endif()
string(STRIP "${section}" section)
set(text "e-mailer ${VERSION} for Windows\n\n${section}\n")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
