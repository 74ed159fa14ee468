#pragma once
// Each sorvena-cli command registers itself on the CLI11 application.

namespace CLI {
class App;
}

namespace sorvena::cli {

// The process exit status; a command sets it when something failed.
inline int exitStatus = 0;

void addInfoCommand(CLI::App& app);
void addSearchCommand(CLI::App& app);
void addGetCommand(CLI::App& app);
void addPeersCommand(CLI::App& app);
void addPackCommand(CLI::App& app);
void addMagnetCommand(CLI::App& app);
void addMetadataCommand(CLI::App& app);

}  // namespace sorvena::cli
