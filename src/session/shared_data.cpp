#include "session/shared_data.h"

#include "front/zorvid_request_info.h"

// Nothing is remembered until the session table exists; the session table fills this in.
void SharedData::SaveZorvidUrl(const ZorvidRequestInfo& /*request*/) {}
