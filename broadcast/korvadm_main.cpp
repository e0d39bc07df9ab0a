// korvadm: broadcast one line of text to every client of a running korvad.

#include <cstdio>

#include "broadcast/korvadm.h"
#include "control/queue/control_file.h"

int main(int argc, char** argv) {
    return korvad::run_korvadm(argc, argv, korvad::kControlFilePath, stdout, stderr);
}
