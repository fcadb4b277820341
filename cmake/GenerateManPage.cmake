# Writes the tavrik(1) manual page from the program's own --help texts, so the
# page never drifts from the command line it describes.
# Usage: cmake -DTAVRIK=<program> -DOUTPUT=<file> -DVERSION=<x.y.z> -P GenerateManPage.cmake

function(help_of out)
  # Help never needs a simulated computer; point it nowhere so that none is created.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TAVRIK_MACHINE=/nonexistent-for-help/machine.db
                          ${TAVRIK} ${ARGN} --help
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_QUIET)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Subcommand names listed under "Subcommands:" in a help text.
function(subcommands_of out text)
  string(REPLACE "\n" ";" lines "${text}")
  set(in_list FALSE)
  set(names "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Subcommands:")
      set(in_list TRUE)
    elseif(in_list AND line MATCHES "^  ([a-z][a-z0-9-]*)")
      list(APPEND names "${CMAKE_MATCH_1}")
    elseif(in_list AND NOT line MATCHES "^  ")
      set(in_list FALSE)
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

function(roff_block out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

help_of(top)
subcommands_of(commands "${top}")
string(TIMESTAMP today "%Y-%m-%d" UTC)
roff_block(top_block "${top}")
set(page ".TH TAVRIK 1 \"${today}\" \"tavrik ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\ntavrik \\- grant, deny, revoke, audit, list, back up and restore Windows permissions\n")
string(APPEND page ".SH SYNOPSIS\n.B tavrik\n.I command\n[\\fIoptions\\fR] [\\fIarguments\\fR]\n")
string(APPEND page ".SH DESCRIPTION\n${top_block}")
string(APPEND page ".SH COMMANDS\n")
foreach(command IN LISTS commands)
  help_of(text ${command})
  roff_block(block "${text}")
  string(APPEND page ".SS ${command}\n${block}")
  subcommands_of(nested "${text}")
  foreach(sub IN LISTS nested)
    help_of(subtext ${command} ${sub})
    roff_block(subblock "${subtext}")
    string(APPEND page ".SS \"${command} ${sub}\"\n${subblock}")
  endforeach()
endforeach()
string(APPEND page ".SH EXIT STATUS\n.TP\n.B 0\nThe job succeeded: every object it was asked to handle was handled.\n.TP\n.B 1\nThe job completed with errors: it went on to the end, but some objects were passed over or failed (access denied, a failed write under \\-\\-ignore\\-errors, an account missing in the new domain, a record left out of a backup, a key that could not be read, a link it did not descend into). The error lines name them and the summary says how many.\n.TP\n.B 2 to 46\nThe job stopped: the engine's return code named in the summary line. A mistake on the command line exits with 3, the engine's code for an invalid parameter.\n")
string(APPEND page ".SH ENVIRONMENT\n.TP\n.B TAVRIK_MACHINE\nOn Linux, the database of the simulated computer (default: \\fI$XDG_DATA_HOME/tavrik/machine.db\\fR).\n.TP\n.B NO_COLOR\nWhen set and not empty, error and warning lines are never coloured; without it they are red and yellow where standard error is a terminal.\n")
file(WRITE "${OUTPUT}" "${page}")
