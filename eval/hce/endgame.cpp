#include "eval/hce/endgame.h"

#include "io/output.h"

const int32_t *endgameKeyList(int pieces, int &count) {
    VEXAR_ASSERT(pieces >= ENDGAME_MIN_PIECES && pieces <= ENDGAME_MAX_PIECES, "evaluation");
    switch (pieces) {
        case 4:
            count = ENDGAME_KEYS4;
            return endgameKeys4.data();
        case 5:
            count = ENDGAME_KEYS5;
            return endgameKeys5.data();
        default:
            count = ENDGAME_KEYS6;
            return endgameKeys6.data();
    }
}

int endgameIndex(const ColourSet &strong, const ColourSet &weak) {
    const int pieces = popCount(strong.bb[0] | weak.bb[0]);
    int count = 0;
    const int32_t *keys = endgameKeyList(pieces, count);
    const int32_t key = materialKey(materialSignature(strong), materialSignature(weak));
    int low = 0, high = count - 1;
    while (low <= high) {
        const int mid = (low + high) / 2;
        if (keys[mid] == key) return mid;
        if (keys[mid] > key)
            high = mid - 1;
        else
            low = mid + 1;
    }
    // Every distribution of 4 to 6 pieces is listed, so only a caller that
    // passed the weaker side as `strong` gets here.
    writeOut("info string Unknown endgame with hash = %i\n", key);
    assertionFailed("key in endgame list", "evaluation", __FILE__, __LINE__);
}

int signedEndgameIndex(const ColourSet &us, const ColourSet &them) {
    if (materialSignature(us) >= materialSignature(them)) return endgameIndex(us, them);
    return -endgameIndex(them, us);
}
