#pragma once
// The network installation: drivers, disk and every package and configuration script come
// from an install server on the local network.
#include "disk/disk_record.h"
#include "network/transport.h"

#include <string>

namespace installer {

bool runNetworkInstall(DiskRecord& target);

// Broadcasts DSCV until a server offers (OFFR) and answers the YACK; never gives up. `keep` is
// true when the offer asked to keep the old configuration.
bool discoverServer(NetLink& link, const std::string& fieldA, const std::string& fieldB,
                    const std::string& label, bool& keep);

// The label from the floppy's label.txt, "Kestrova" without one.
std::string readDiskLabel();

} // namespace installer
