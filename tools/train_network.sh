#!/bin/sh
# train_network.sh - rebuilds data/network.txt from scratch.
#
#   tools/train_network.sh [work-dir]     (from the repository root; default
#                                          work-dir build/train)
#
# 1. Data: tools/datagen.py plays games with stockfish (one thread, NODES
#    nodes a move) as the label source and keeps the positions that are not
#    in check, whose best move is quiet and whose score is not a mate score,
#    with stockfish's score in centipawns for the side to move:
#    a. OPENING_GAMES games from the initial position, half of the moves in
#       the first 16 plies replaced by seeded random legal moves, so that the
#       first moves of a game are covered (WORK/opening.data);
#    b. GAMES games from the openings of data/books/8moves_v3_balanced.epd in
#       book order (round again once the book is used up), 8% of the moves
#       in the first 60 plies random (WORK/positions.data).
#    The training file is (a) followed by (b), so the held-out tail is made
#    of the last book games.
# 2. Training: tools/trainer.cpp, built with the host compiler, fits the
#    network (768 -> 2x128 -> 32 -> 32 -> 1) to the labels: squared error of
#    sigmoid(cp/400), Adam with decoupled weight decay DECAY, BATCH positions
#    a step, EPOCHS epochs (learning rate LR, a tenth of it for the last
#    quarter, a hundredth for the last tenth), labels clipped to +-2000 cp,
#    the last 5% of the positions held out.
# 3. The result is copied to data/network.txt.
#
# Existing data files in the work directory are reused (delete them to play
# the games again).  Everything is seeded: on the same machine with the same
# stockfish (Debian 15.1) the same file comes out.  With the defaults the
# data step takes about 28 minutes of one core (30370 + 359513 positions)
# and training about 1.5 minutes.  Both run at low priority (nice 10).
set -eu

GAMES=${GAMES:-6000}
OPENING_GAMES=${OPENING_GAMES:-400}
NODES=${NODES:-2000}
EPOCHS=${EPOCHS:-30}
BATCH=${BATCH:-1024}
LR=${LR:-0.001}
DECAY=${DECAY:-0.1}
STOCKFISH=${STOCKFISH:-/usr/games/stockfish}
WORK=${1:-build/train}

mkdir -p "$WORK"
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

${CXX:-g++} -std=c++20 -O3 -march=native -I. -o "$WORK/trainer" tools/trainer.cpp
nice -n 10 "$WORK/trainer" --data "$WORK/all.data" --out "$WORK/network.txt" \
    --epochs "$EPOCHS" --batch "$BATCH" --lr "$LR" --decay "$DECAY" --seed 1 | tee "$WORK/trainer.log"
cp "$WORK/network.txt" data/network.txt
echo "train_network: data/network.txt written"
