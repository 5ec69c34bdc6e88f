// Where the agent's and the shared library's log files live. On Windows: the
// machine's common application-data folder (C:\ProgramData; "c:\" when it cannot
// be found), then "Halvren\logs\". Natively: the folder named by HALVREN_LOG_DIR,
// else "halvren/logs/" in the temporary folder.
#pragma once

#include <string>

namespace platform {

// Creates the folders that are missing and makes both private
// (make_private_folder), on every call, so that a folder deleted while the agent
// runs comes back with the next write. Ends with a separator. Empty when either
// folder cannot be used (a link, someone else's, or not to be made private):
// the writers then write nothing and the agent works on without its logs.
std::string log_folder_path();

}  // namespace platform
