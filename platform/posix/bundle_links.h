#pragma once

#include <string>

#include "platform/posix/file_manager.h"

// Copies keep symbolic links as links, and bundles carry relative ones of their own (a
// framework's Versions/Current). A link that is absolute, or whose target, resolved from where
// the link lies, ends outside the bundle would leave part of the installed copy wherever the
// link's owner chooses, however the copy itself is owned.
//
// Success when every link below the open bundle directory (named shown in failures) stays inside
// it, a link that leads nowhere (a missing target, a loop) included. Otherwise a failure that
// names the first link that leaves ("the link PATH leads out of the bundle: TARGET"), or says why
// the walk could not finish; a tree deeper than a copy goes is one such reason.
result<> bundle_links_stay_inside(int bundle, const std::string& shown);
