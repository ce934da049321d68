// How the Linux layer stores a value, and what a later write of the entry
// replaces: the one place for the rule about a value's own final line feed.
#pragma once

#include <string>
#include <string_view>

#include "profile_scan.h"

namespace profile_text {

// The form in which a value is stored, so that it never makes lines of its
// own: each inner line break (CR LF, CR or LF) becomes one blank. A single LF
// at the very end (not part of a CR LF) stays, as callers write it (a run
// writes "Success\n"); the entry's own line break follows it.
std::string single_line_value(std::string_view value);

// Whether the stored value that a write replaces runs through the LF that
// ends the entry's text (rather than ending at its last non-blank unit): a
// value stored with its own final LF left that LF there.
// - Before a CR LF (the entry ends LF CR LF), the LF belongs to a non-empty
//   value, together with any blanks ahead of it.
// - In an LF file a value's final LF and the LF ending its entry cannot be
//   told from a blank line after the entry, so when the new value has a final
//   LF and another LF follows the entry's, the new value takes the place of
//   the entry's own LF: the bytes around the entry stay as they were and
//   repeated writes of such a value do not add a blank line each time.
bool replaces_through_line_feed(scan::Break entry_break, bool stored_value_empty,
                                bool new_value_ends_in_lf, bool another_lf_follows);

}  // namespace profile_text
