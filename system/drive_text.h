// Texts a drive reports (INQUIRY identities and revisions) may hold any byte: put raw on a
// terminal or into a box, they could move the cursor, clear the screen or forge a line.
#pragma once

#include <string>
#include <string_view>

// The drive's bytes as a person may read them: printable ASCII as it is, every other byte and the
// backslash as \xNN, so that the bytes can still be told apart and written back (--emulate).
std::string PrintableDriveText(std::string_view bytes);
