# Writes xbagent's manual page from its own help: help2man turns the
# program's --help into the page, and every command's --help becomes a
# subsection of COMMANDS.
#
#   cmake -DXBAGENT=PROGRAM -DHELP2MAN=help2man -DVERSION=1.0.0 -DOUTPUT=xbagent.1
#         -P GenerateManPage.cmake
set(commands backup restore "restore --full" "restore --database NAME" binlog-archive verify
  info list binlog-info encode)

set(include_text "[COMMANDS]\n")
foreach(command IN LISTS commands)
  separate_arguments(words UNIX_COMMAND "${command}")
  execute_process(COMMAND ${XBAGENT} ${words} --help
    OUTPUT_VARIABLE help RESULT_VARIABLE rc TIMEOUT 30)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "xbagent ${command} --help failed: ${rc}")
  endif()
  # Literal text in roff: backslashes escaped, no line read as a request.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND include_text ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()
string(APPEND include_text
  "[SEE ALSO]\nmariabackup(1), mbstream(1), mariadb(1), mariadb-dump(1)\n")

get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${output_dir}")
set(include_file "${OUTPUT}.include")
file(WRITE "${include_file}" "${include_text}")

execute_process(COMMAND ${HELP2MAN} --no-info --section=1
    "--version-string=${VERSION}"
    "--name=back up and restore a MariaDB server through libXtraBackupUtil"
    "--include=${include_file}"
    "--output=${OUTPUT}"
    ${XBAGENT}
  RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed: ${rc}")
endif()
