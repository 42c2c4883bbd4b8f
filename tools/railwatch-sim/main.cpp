// railwatch-sim: runs a list of steps against the driver and the API library on a
// simulated board. See UsageText() for the command line.
#include "Scenario.h"

#include <iostream>

int main(int argc, char** argv) {
    using namespace railwatch_sim;
    try {
        const Scenario scenario = ParseScenario(std::vector<std::string>(argv + 1, argv + argc));
        if (scenario.help) {
            std::cout << UsageText();
            return 0;
        }
        return RunScenario(scenario, std::cout, std::cerr);
    } catch (const UsageError& error) {
        std::cerr << "railwatch-sim: " << error.what() << "\n" << UsageText();
        return 2;
    } catch (const host::ImageError& error) {
        // An image changed under the run and can no longer be loaded.
        std::cerr << "railwatch-sim: " << error.what() << "\n";
        return 2;
    }
}
