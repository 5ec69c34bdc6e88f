// Folders that only the system, the administrators and the agent itself may
// reach: the log folder holds account names, agent keys and session ids.
#pragma once

#include <string>

namespace platform {

enum class PrivateFolder {
  ready,          // exists, is a plain folder of ours, and only the system and administrators may use it
  reparse_point,  // a link or junction: writing through it would land wherever it points
  foreign_owner,  // owned by someone else, who could change its access again at any time
  failed,         // missing and not creatable, not a folder, or its access could not be set
};

// Creates the folder `path` when missing, already protected. An existing one is
// checked without following links: only a plain folder owned by the system, the
// administrators or the agent's own account is used, and its access list is then
// made protected (nothing inherited from above) with full control for the system
// and the administrators only, handed down to what is created inside. Anything
// but `ready` means: write nothing through it.
//
// Windows: SYSTEM and Administrators in the DACL. Natively: mode 0700, owner root
// or the effective user.
PrivateFolder make_private_folder(const std::string& path);

}  // namespace platform
