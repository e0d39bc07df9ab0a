// korvad: the ACARS decoder.

#include "control/decoder.h"

int main(int argc, char** argv, char** envp) {
    return korvad::run_decoder(argc, argv, envp);
}
