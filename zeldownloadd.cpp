#include "shell/HeadlessServer.h"

int main(int argc, char** argv)
{
    return RunHeadlessServer(argc, argv);
}
