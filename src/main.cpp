#include "app/Dispatcher.h"

int main(int argc, char** argv)
{
    return quilvant::app::run(argc, argv);
}
