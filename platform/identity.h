// The client machine's identity: the permanent hardware address of its first network adapter.
//
// Thread-safety: reads the file system only; safe from any thread.
#ifndef LARKSPIRE_PLATFORM_IDENTITY_H_
#define LARKSPIRE_PLATFORM_IDENTITY_H_

#include <string>

namespace larkspire {

// The address of the first adapter under net_root (in name order) that is not loopback and
// whose address is not all zeros, as upper-case hexadecimal, two digits a byte, no separators
// ("001A2B3C4D5E"); empty when there is none.
std::string GetAdapterAddress(const std::string& net_root = "/sys/class/net");

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_IDENTITY_H_
