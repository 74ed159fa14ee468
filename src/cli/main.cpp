// sorvena-cli: the command-line front end over the core.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "cli/Commands.h"
#include "cli/Display.h"

int main(int argc, char** argv)
{
    CLI::App app{"Sorvena: torrent meta-search on the command line"};
    app.require_subcommand(1);
    sorvena::cli::addInfoCommand(app);
    sorvena::cli::addSearchCommand(app);
    sorvena::cli::addGetCommand(app);
    sorvena::cli::addPeersCommand(app);
    sorvena::cli::addPackCommand(app);
    sorvena::cli::addMagnetCommand(app);
    sorvena::cli::addMetadataCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const std::exception& e) {
        // The text may quote what a file or a site held (a member name).
        std::fprintf(stderr, "sorvena-cli: %s\n", sorvena::cli::TerminalText(e.what()).c_str());
        return 2;
    }
    return sorvena::cli::exitStatus;
}
