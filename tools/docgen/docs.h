// The manual pages' lists and the shell completion, made at build time from the tables the
// programs themselves read (options, --emulate keys, exit statuses, the catalogue, the sample
// image rules), so that nothing listed there is ever copied by hand.
#pragma once

#include <string>
#include <vector>

// The names the program runs under, in catalogue order: the families, then the generic names.
std::vector<std::string> ProgramNames();

// `text` safe in a roff text line: backslashes escaped, a minus that starts an option or a
// number written as a minus sign, a leading '.' or '\'' kept from being read as a request.
std::string RoffText(const std::string& text);

// A manual page from its template: every @NAME@ replaced by what the build knows of it (the
// version, the names, the lists). False with a message for a name it does not know.
bool FillManPage(const std::string& tmpl, const std::string& version, std::string& page,
                 std::string& error);

// The bash completion for discflash under every program name, and for discflash-mkimage.
std::string BashCompletion();
