#pragma once

#include <plist/plist.h>

#include <string>

#include "platform/plist/property_list_parse.h"
#include "platform/posix/result.h"
#include "platform/posix/small_file.h"

// Property lists in files and in the XML form the platform writes.

// Reads and parses the property list stored at path, XML or binary. A failure when the path is
// not a regular file (a directory, a device, a FIFO, a refused link), is larger than
// k_property_list_max_bytes, can't be read or holds no valid property list.
result<plist_node_t> read_property_list(const std::string& path,
                                        symlink_policy_t links = symlink_policy_t::follow);

// The XML form the platform's serializer writes: its XML header and DOCTYPE, version 1.0,
// tab indentation, dictionary keys in sorted order. A failure (EINVAL) for a tree nested deeper
// than k_property_list_max_depth or holding a string with a NUL character, which XML can't carry.
result<std::string> xml_property_list_text(plist_t node);

// Writes the XML form of node to path so that readers see either the old file or the new one,
// never a part: a fresh temporary file beside it, flushed to disk, then renamed over it. A
// symbolic link at path is replaced, never written through. An existing file's mode and owner
// carry over; a new file gets mode 0644. A failure says why (EINVAL for a tree that has no XML
// form); path is then unchanged.
result<> write_xml_property_list_atomically(const std::string& path, plist_t node);
