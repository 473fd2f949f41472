#pragma once

#include <ostream>
#include <string>
#include <vector>

// corvana-codesign: signs client bundles and checks them.
//
//   corvana-codesign sign --identifier ID --cert LEAF.pem --key LEAF.key [--chain CHAIN.pem]
//       BUNDLE.app
//   corvana-codesign verify [--requirement TEXT] BUNDLE.app
//   corvana-codesign --version
//
// Exit status: 0 done / valid, 1 signing failed / not valid, 2 usage error.
namespace codesign_tool {

inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_failed = 1;
inline constexpr int k_exit_usage = 2;

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace codesign_tool
