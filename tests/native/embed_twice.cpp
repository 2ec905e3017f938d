// Starts and finalises the interpreter twice in one process, running the
// script given as the only argument in each: what an embedding program does
// when it restarts Python.
#include <Python.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        const int failed = PyRun_SimpleString(argv[1]);
        if (Py_FinalizeEx() < 0 || failed != 0) return 1;
    }
    return 0;
}
