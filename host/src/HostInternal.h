// Seams between the host kit and the C records it implements.
#pragma once

namespace vxhost {

// The identifier that mrcp_engine_channel_create gives the record it makes
// on the calling thread, so that a module sees its channel's id already
// while creating it; null: none. The kit sets it around create_channel.
void SetPendingChannelId(const char* id);

}  // namespace vxhost
