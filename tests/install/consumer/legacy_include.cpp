// The include form of earlier releases, deprecated but still working for one
// release: the header's folder inside include/tessaro_dexhand.
#include "client/dexhand.h"

int legacy_include_hand_count(QmHand::DexHand& client) {
    return static_cast<int>(client.get_ip_list().size());
}
