// The repair flow of a patch session: runs the repair client against the repair server,
// shows its stages and progress in the window and reports the outcome.
#pragma once

namespace BexoPatch {

class PatchThread;

// The session's result: true when every segment the server announced was written.
bool RunRepairSession(PatchThread& session);

}  // namespace BexoPatch
