// The listening end of the control socket.
#pragma once

#include <string>

namespace velmora::machine {

// A SOCK_SEQPACKET Unix socket listening at `path`, mode 0600, or 0660 and
// of group `group` when one is given (>= 0). A socket file left there by a
// service that is gone is replaced; a live one, or a file that is not a
// socket, is refused. Throws std::runtime_error saying why.
int listenOnControlSocket(const std::string &path, int group = -1);

}  // namespace velmora::machine
