#include "app/app.h"

int main(int argc, char **argv)
{
    return run_imgratio(argc, argv);
}
