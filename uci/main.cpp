#include "uci/uci.h"

int main() {
    startEngine();
    commandLoop();
}
