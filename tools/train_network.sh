#!/bin/sh
# train_network.sh - trains a 0.9 network from scratch (its text pipeline A
# made the network that the shipped one was fine-tuned from; data/README.md
# gives the commands of each shipped network).
#
#   tools/train_network.sh [work-dir]     (from the repository root; default
#                                          work-dir build/train)
#   RECORDS="a.bin b.bin" tools/train_network.sh [work-dir]
#   SELFPLAY=N [LABEL=eval|own] tools/train_network.sh [work-dir]
#
# Two pipelines:
#
# A. Text data (RECORDS unset), the pipeline of the shipped network:
#  1. Data: tools/datagen.py plays games with stockfish (one thread, NODES
#     nodes a move) as the label source and keeps the positions that are not
#     in check, whose best move is quiet and whose score is not a mate score,
#     with stockfish's score in centipawns for the side to move:
#     a. OPENING_GAMES games from the initial position, half of the moves in
#        the first 16 plies replaced by seeded random legal moves, so that the
#        first moves of a game are covered (WORK/opening.data);
#     b. GAMES games from the openings of data/books/8moves_v3_balanced.epd in
#        book order (round again once the book is used up), 8% of the moves
#        in the first 60 plies random (WORK/positions.data).
#     The training file is (a) followed by (b), so the held-out tail is made
#     of the last book games.
#  2. Training: squared error of sigmoid(cp/400) (the text form carries no
#     game results), the last 5% of the positions held out.
#
# B. Binary record files (RECORDS set to one or more files, 32-byte records
#    with scores and game results, e.g. from the self-play generator): no data
#    step; the target blends the score and the game result with weight BLEND,
#    and every 20th game is held out whole.
#
# C. Self-play (SELFPLAY set to a number of positions): build/datagen plays
#    the engine against itself (SELFPLAY_SEED, SELFPLAY_NODES nodes a move,
#    both cores) into WORK/selfplay.w*, resuming what is already there; with
#    LABEL=eval (the default) tools/label_stockfish.py replaces every score
#    by Stockfish's static evaluation (WORK/selfplay-eval.bin), with
#    LABEL=own the engine's own search scores are kept; then as B.  Needs
#    the datagen target built in build/ (cmake --build build --target datagen).
#
# RESUME=FILE starts the training from that network instead of random weights.
#
# Training (all): tools/trainer.cpp, built with the host compiler, fits the
# network (768 -> 2x128 -> 32 -> 32 -> 1) with Adam and decoupled weight
# decay DECAY, BATCH positions a step on THREADS threads, EPOCHS epochs
# (learning rate LR, a tenth of it for the last quarter, a hundredth for the
# last tenth), labels clipped to +-2000 cp.  It writes WORK/network.txt after
# every epoch, the losses per epoch to WORK/network-loss.csv and, when
# gnuplot is installed, the loss curve to WORK/loss.png.  The log is
# WORK/trainer.log.  With INSTALL=1 (the default) the result is copied to
# data/network.txt.
#
# Existing text data files in the work directory are reused (delete them to
# play the games again).  Everything is seeded: on the same machine with the
# same stockfish (Debian 15.1) the same file comes out, whatever THREADS is.
# With the defaults the text data step takes about 28 minutes of one core
# (30370 + 359513 positions).  Both steps run at low priority (nice 10).
set -eu

GAMES=${GAMES:-6000}
OPENING_GAMES=${OPENING_GAMES:-400}
NODES=${NODES:-2000}
EPOCHS=${EPOCHS:-30}
BATCH=${BATCH:-1024}
LR=${LR:-0.001}
DECAY=${DECAY:-0.1}
THREADS=${THREADS:-2}
BLEND=${BLEND:-0.25}
RECORDS=${RECORDS:-}
SELFPLAY=${SELFPLAY:-}
SELFPLAY_SEED=${SELFPLAY_SEED:-2}
SELFPLAY_NODES=${SELFPLAY_NODES:-3000}
LABEL=${LABEL:-eval}
RESUME=${RESUME:-}
INSTALL=${INSTALL:-1}
STOCKFISH=${STOCKFISH:-/usr/games/stockfish}
WORK=${1:-build/train}

mkdir -p "$WORK"
if [ -n "$SELFPLAY" ]; then
    nice -n 10 build/datagen --out "$WORK/selfplay" --positions "$SELFPLAY" --seed "$SELFPLAY_SEED" \
        --nodes "$SELFPLAY_NODES"
    if [ "$LABEL" = eval ]; then
        nice -n 10 python3 tools/label_stockfish.py --mode eval --stockfish "$STOCKFISH" \
            --out "$WORK/selfplay-eval.bin" "$WORK"/selfplay.w*
        RECORDS="$WORK/selfplay-eval.bin"
    else
        RECORDS=$(ls "$WORK"/selfplay.w*)
    fi
fi
if [ -n "$RECORDS" ]; then
    INPUT=""
    for f in $RECORDS; do
        [ -s "$f" ] || { echo "train_network: no record file $f" >&2; exit 1; }
        INPUT="$INPUT --records $f"
    done
    INPUT="$INPUT --blend $BLEND"
else
    if [ ! -s "$WORK/opening.data" ]; then
        nice -n 10 python3 tools/datagen.py --book data/books/startpos.epd \
            --out "$WORK/opening.data" --engine "$STOCKFISH" --games "$OPENING_GAMES" \
            --nodes "$NODES" --seed 2 --random-rate 0.5 --random-plies 16
    fi
    if [ ! -s "$WORK/positions.data" ]; then
        nice -n 10 python3 tools/datagen.py --book data/books/8moves_v3_balanced.epd \
            --out "$WORK/positions.data" --engine "$STOCKFISH" --games "$GAMES" \
            --nodes "$NODES" --seed 1
    fi
    cat "$WORK/opening.data" "$WORK/positions.data" > "$WORK/all.data"
    INPUT="--data $WORK/all.data"
fi

PLOT=""
if command -v gnuplot >/dev/null 2>&1; then
    PLOT="--plot $WORK/loss.png"
else
    echo "train_network: gnuplot is not installed; no loss curve will be drawn"
fi

${CXX:-g++} -std=c++20 -O3 -march=native -pthread -I. -DVEXAR_GENERATION=8 -o "$WORK/trainer" tools/trainer.cpp \
    tools/trainer_core.cpp tools/trainer_king.cpp network/network_king.cpp network/network_text.cpp io/output.cpp
# The file names are split on spaces on purpose (INPUT and PLOT hold options).
# shellcheck disable=SC2086
# The trainer's exit status is passed around tee, so that a failed training
# never installs the network of an earlier run.
{
    if nice -n 10 "$WORK/trainer" $INPUT --out "$WORK/network.txt" $PLOT \
        --epochs "$EPOCHS" --batch "$BATCH" --lr "$LR" --decay "$DECAY" --threads "$THREADS" --seed 1 \
        ${RESUME:+--resume "$RESUME"} 2>&1; then
        echo 0 > "$WORK/trainer.status"
    else
        echo 1 > "$WORK/trainer.status"
    fi
} | tee "$WORK/trainer.log"
if [ "$(cat "$WORK/trainer.status")" != 0 ]; then
    echo "train_network: the trainer failed (see $WORK/trainer.log)" >&2
    exit 1
fi
if [ "$INSTALL" = 1 ]; then
    cp "$WORK/network.txt" data/network.txt
    echo "train_network: data/network.txt written"
fi
