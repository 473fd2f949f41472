#pragma once

// Marks what the client library exports. The library is built with hidden visibility, so only
// what carries this mark is part of its interface.
#define CORVANA_CLIENT_API __attribute__((visibility("default")))
