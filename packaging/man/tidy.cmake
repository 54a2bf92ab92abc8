# SPDX-License-Identifier: Apache-2.0
# cmake -DPAGE=FILE -P tidy.cmake: drops the first line of a help2man page's
# DESCRIPTION when it is the "program \- summary" line that the NAME section
# already gives (the first line of the program's --help).
file(READ "${PAGE}" text)
string(REGEX REPLACE "(\n\\.SH DESCRIPTION\n)[^ \n]+ \\\\- [^\n]*\n" "\\1" text "${text}")
file(WRITE "${PAGE}" "${text}")
