#include "tb/syzygy.h"

#include <strings.h>
#include <sys/mman.h>
#include <tbprobe.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "eval/endgame/three_pieces.h"
#include "io/output.h"

// The engine's copy of the prober's largest table size.  The prober's own
// TB_LARGEST is not enough: re-initialising it with an empty path unmaps its
// tables but leaves the old size in place.
static int tb_largest = 0;
static uint64_t tb_prober_calls = 0;

// The path texts that name no folder at all.
static bool namesNoFolder(const char *path) { return path[0] == '\0' || strcmp(path, "<empty>") == 0; }

// The prober reports each table it unmaps on (re)initialisation as a failed
// munmap on standard error, although every one of those calls succeeds (its
// test of munmap's result is inverted).  Its initialisation therefore runs
// with standard error caught in memory; those false reports are dropped and
// anything else it writes is passed on.
static bool proberInit(const char *path) {
    fflush(stderr);
    const int caught = memfd_create("prober-stderr", 0);
    const int saved = caught >= 0 ? dup(STDERR_FILENO) : -1;
    if (saved < 0 || dup2(caught, STDERR_FILENO) < 0) {
        if (saved >= 0) close(saved);
        if (caught >= 0) close(caught);
        return tb_init(path);
    }
    const bool initialised = tb_init(path);
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    if (FILE *text = fdopen(caught, "r")) {
        rewind(text);
        char line[1024];
        while (fgets(line, sizeof line, text))
            if (strncmp(line, "munmap: ", 8) != 0) fputs(line, stderr);
        fclose(text);
    } else {
        close(caught);
    }
    return initialised;
}

bool tbInitialise(const char *path) {
    if (!path) path = "";
    const bool initialised = proberInit(path);
    const unsigned largest = TB_LARGEST;
    if (!initialised || namesNoFolder(path) || largest <= 2) {
        tb_largest = 0;
        writeOut("info debug Initialisation of Syzygy : failure\n");
        return false;
    }
    tb_largest = int(largest);
    writeOut("info debug Initialisation of Syzygy : success (%i pieces)\n", tb_largest);
    if (FILE *log = fopen("vexar.log", "a")) {
        fputs("Syzygy ok\n", log);
        fclose(log);
    }
    return true;
}

void tbRelease() {
    // The prober's own release also frees the records that its next
    // initialisation reuses, so a later tb_init would crash; an initialisation
    // with an empty path unmaps every table and keeps the prober usable.
    proberInit("");
    tb_largest = 0;
}

int tbLargest() { return tb_largest; }

uint64_t tbProberCalls() { return tb_prober_calls; }

// Castling rights are held as unmoved home squares: a king square together
// with one of its rook squares.  The tables know nothing of castling.
static bool castlingRightsLeft(Bitboard castling) {
    const Bitboard white_rooks = bit(0) | bit(7), black_rooks = bit(56) | bit(63);
    return ((castling & bit(4)) && (castling & white_rooks)) || ((castling & bit(60)) && (castling & black_rooks));
}

// The position in the prober's terms: both colours' occupancy and the six
// piece kinds of both colours together.
struct ProbeBoards {
    uint64_t white, black, kings, queens, rooks, bishops, knights, pawns;
};

static ProbeBoards probeBoards(const Position &pos) {
    const ColourSet &w = pos.set[WHITE], &b = pos.set[BLACK];
    return {w.bb[0],
            b.bb[0],
            w.bb[KING] | b.bb[KING],
            w.bb[QUEEN] | b.bb[QUEEN],
            w.bb[ROOK] | b.bb[ROOK],
            w.bb[BISHOP] | b.bb[BISHOP],
            w.bb[KNIGHT] | b.bb[KNIGHT],
            w.bb[PAWN] | b.bb[PAWN]};
}

// Scores of the prober's classes: loss, blessed loss, draw, cursed win, win.
static constexpr int CLASS_SCORE[5] = {-TB_WIN_SCORE, -TB_CURSED_SCORE, 0, TB_CURSED_SCORE, TB_WIN_SCORE};

bool tbProbeRoot(const Position &pos, const MoveList &root_moves, Move &move, int &score) {
    const int pieces = popCount(pos.occupied);
    if (tb_largest < 3 || pieces < 3 || pieces > tb_largest) return false;
    if (castlingRightsLeft(pos.castling)) return false;

    const ProbeBoards boards = probeBoards(pos);
    const unsigned en_passant = pos.en_passant ? unsigned(lowestSquare(pos.en_passant)) : 0;
    tb_prober_calls++;
    const unsigned result = tb_probe_root(boards.white, boards.black, boards.kings, boards.queens, boards.rooks,
                                          boards.bishops, boards.knights, boards.pawns, unsigned(pos.rule50), 0,
                                          en_passant, pos.us->colour == WHITE, nullptr);
    if (result == TB_RESULT_FAILED || result == TB_RESULT_CHECKMATE || result == TB_RESULT_STALEMATE) return false;

    // A class's score moves towards 0 by the distance to zeroing, so that the
    // quicker win and the slower loss score better.
    const unsigned wdl = TB_GET_WDL(result);
    if (wdl > TB_WIN) return false;
    const int dtz = int(TB_GET_DTZ(result));
    const int value = wdl < TB_DRAW ? CLASS_SCORE[wdl] + dtz : wdl > TB_DRAW ? CLASS_SCORE[wdl] - dtz : 0;
    if (wdl >= TB_DRAW && root_moves.generated == 0) return false;

    // The prober's promotion codes run queen 1 .. knight 4; the Move holds the
    // piece type, queen 5 .. knight 2.
    const int from = int(TB_GET_FROM(result)), to = int(TB_GET_TO(result));
    const unsigned code = TB_GET_PROMOTES(result);
    const int promotion = code == TB_PROMOTES_NONE ? NO_PIECE : 6 - int(code);
    for (int i = 0; i < root_moves.generated; i++) {
        const Move m = root_moves.list[i];
        if (m == 0 || moveFrom(m) != from || moveTo(m) != to || movePromotion(m) != promotion) continue;
        move = m;
        score = value;
        return true;
    }
    return false;
}


// Material and king placement of the side to move against the other side:
// among won positions the search then prefers more material and a better king,
// which leads the winning side to simplify.
static int materialAndKings(const ColourSet &us, const ColourSet &them) {
    const int pawns = popCount(us.bb[PAWN]) - popCount(them.bb[PAWN]);
    const int minors = popCount(us.bb[KNIGHT] | us.bb[BISHOP]) - popCount(them.bb[KNIGHT] | them.bb[BISHOP]);
    const int rooks = popCount(us.bb[ROOK]) - popCount(them.bb[ROOK]);
    const int queens = popCount(us.bb[QUEEN]) - popCount(them.bb[QUEEN]);
    return 100 * pawns + 300 * minors + 500 * rooks + 900 * queens + king_centre[us.king_square] -
           king_centre[them.king_square];
}

bool tbProbeSearch(const Position &pos, int &score) {
    const int pieces = popCount(pos.occupied);
    if (pieces < 4 || tb_largest < 4 || pieces > tb_largest) return false;
    if (pos.rule50 != 0 || castlingRightsLeft(pos.castling) || pos.en_passant) return false;

    const ProbeBoards boards = probeBoards(pos);
    tb_prober_calls++;
    const unsigned wdl = tb_probe_wdl(boards.white, boards.black, boards.kings, boards.queens, boards.rooks,
                                      boards.bishops, boards.knights, boards.pawns, 0, 0, 0, pos.us->colour == WHITE);
    // Blessed losses, cursed wins and failed probes leave the node to the search.
    if (wdl != TB_WIN && wdl != TB_LOSS && wdl != TB_DRAW) return false;
    score = wdl == TB_DRAW ? 0 : CLASS_SCORE[wdl] + materialAndKings(*pos.us, *pos.them);
    return true;
}

static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Matches `word` (without regard to case) at `text` followed by a blank or the
// end of the line; returns the text after it, or nullptr.
static const char *matchWord(const char *text, const char *word) {
    const size_t length = strlen(word);
    if (strncasecmp(text, word, length) != 0) return nullptr;
    text += length;
    if (*text != '\0' && !isBlank(*text)) return nullptr;
    while (isBlank(*text)) text++;
    return text;
}

SyzygyPathScan syzygyPathOf(const char *line, char *path, size_t size) {
    const char *p = line;
    while (isBlank(*p)) p++;
    static const char *const WORDS[] = {"setoption", "name", "SyzygyPath"};
    for (const char *word : WORDS)
        if (!(p = matchWord(p, word))) return PATH_NOT_OPTION;
    if (*p != '\0' && !(p = matchWord(p, "value"))) return PATH_NOT_OPTION;
    size_t length = strlen(p);
    while (length > 0 && isBlank(p[length - 1])) length--;
    if (length >= size) return PATH_TOO_LONG;
    memcpy(path, p, length);
    path[length] = '\0';
    return PATH_READ;
}

bool syzygyPathOption(const char *line) {
    static char path[8192];
    const SyzygyPathScan scan = syzygyPathOf(line, path, sizeof path);
    if (scan == PATH_TOO_LONG)
        writeOut("info debug SyzygyPath too long (at most %i bytes), option ignored\n", int(sizeof path) - 1);
    if (scan == PATH_READ) tbInitialise(path);
    return scan != PATH_NOT_OPTION;
}
