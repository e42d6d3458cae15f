// tessaly: the window of the DICOM connectivity tester.
#include "Application.h"

int main(int argc, char** argv) {
    return app::RunTessaly(argc, argv);
}
