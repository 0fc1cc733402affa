#include "shell/HeadlessServer.h"

int main()
{
    return RunHeadlessServer();
}
