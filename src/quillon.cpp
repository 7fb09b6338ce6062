// The program's entry point.
#include "app/main.h"

int main(int argc, char** argv)
{
    return WinMain(argc, argv);
}
