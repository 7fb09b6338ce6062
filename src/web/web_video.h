// The console's live video: the WebRTC signalling each browser does over its WebSocket, handed between
// the web thread and the video service, and the video's configuration keys.
//
// Browser -> console:
//   {"type":"video"}                               wants the live video: an offer follows, or video_end
//   {"type":"answer","sdp":"..."}                  its answer to the offer
//   {"type":"candidate","candidate":"...","mline":N}   one of its ICE candidates
//   {"type":"video_stop"}                          no longer watches
//   {"type":"pictures","on":false}                 shows the video: no pictures meanwhile (true: again)
//   (/ws?pictures=0)                               no pictures until it asks for them
// Console -> browser:
//   {"type":"offer","sdp":"..."}   {"type":"candidate","candidate":"...","mline":N}
//   {"type":"video_end","reason":"..."}            no (more) video for this browser; pictures remain
//   {"type":"video_rate","kbps":N,"estimate":N,"remb":N,"lost":P,"rtt":MS,"width":W,"height":H,"fps":F}
//                                                  once a second: the encoder's bitrate, this link's estimate
#pragma once

#include "platform/webrtc.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>


// Parses one configuration key of the video; false for another key.
// (web_video_codec, web_video_encoder, web_video_kbps, web_stun, web_turn)
bool web_video_key(const char* key, const char* value, webrtc_settings_type& config);

// Starts the video service for the running capture, if there is one; a failure is a message line.
void web_video_start(const webrtc_settings_type& config);
void web_video_stop();

// Takes one browser message when it is a video message; reply sends text back to that browser.
// False for any other message.
bool web_video_take(uint64_t session, std::string_view text, const std::function<void(std::string)>& reply);
// A browser's session begins; its WebSocket's address may say "pictures=0": its page asks for the video
// first, and for pictures only if the video does not come, so none are sent until it does.
void web_video_join(uint64_t session, std::string_view target);
// The browser's session ended.
void web_video_leave(uint64_t session);
// False while the browser's page shows the video: the camera's pictures would only crowd its link.
bool web_video_pictures_wanted(uint64_t session);
