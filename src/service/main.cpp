#include "service/Commands.h"

int main(int argc, char** argv)
{
    return quilvant::service::runCommand(std::vector<std::string>(argv + 1, argv + argc));
}
