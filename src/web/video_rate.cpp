// The live video's bitrate, per viewer's link and for the encoder they share, and its ladder of frame rate
// and size.
#include "web/video_rate.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double hold_after_cut = 1.0;      // seconds without climbing after backing off
constexpr double queue_cut = 0.85;          // of what went through, when a queue fills
constexpr double least_creep = 0.001;       // seconds a second the least round trip rises by itself
constexpr double ladder_margin = 1.5;       // a step up needs this much more than the step's own need
constexpr int least_fps = 10;
constexpr double climb_past_sent = 2.0;     // the estimate climbs to at most this times what is sent
constexpr double remb_below = 0.7;          // a REMB under this share of what is sent pulls the estimate down

double clamp_kbps(double kbps, const video_limits_type& limits)
{
    double floor = std::min(limits.floor_kbps, limits.ceiling_kbps);
    return std::max(floor, std::min(kbps, limits.ceiling_kbps));
}

// Judges one receiver report, and backs off at once when it says so.
void take_report(video_link_type& link, const webrtc_feedback_type& feedback, double elapsed)
{
    if (feedback.round_trip > 0) {
        double crept = link.least_round_trip + least_creep * elapsed;
        link.least_round_trip = link.least_round_trip > 0 ? std::min(crept, feedback.round_trip) : feedback.round_trip;
    }
    bool queue = feedback.round_trip > 0 && feedback.round_trip - link.least_round_trip > video_queue_limit;
    if (feedback.fraction_lost > video_loss_high) {
        link.verdict = video_verdict::congested;
        link.probing = false;
        link.estimate_kbps *= 1 - 0.5 * feedback.fraction_lost;
        link.cut_until = feedback.now + hold_after_cut;
    } else if (queue) {
        link.verdict = video_verdict::congested;
        link.probing = false;
        // An encoder sending less than it may (a still picture) did not fill the queue alone: at most halved.
        double through = feedback.sent_kbps > 0 ? std::max(feedback.sent_kbps, link.estimate_kbps / 2) : link.estimate_kbps;
        link.estimate_kbps = std::min(link.estimate_kbps, queue_cut * through);
        link.cut_until = feedback.now + hold_after_cut;
    } else {
        link.verdict = feedback.fraction_lost < video_loss_clear ? video_verdict::clear : video_verdict::hold;
    }
}

} // namespace

video_link_type video_link_start(double kbps, const video_limits_type& limits, double now)
{
    video_link_type link;
    link.estimate_kbps = clamp_kbps(kbps > 0 ? kbps : limits.start_kbps, limits);
    link.last_at = now;
    return link;
}

void video_link_feedback(video_link_type& link, const webrtc_feedback_type& feedback, const video_limits_type& limits)
{
    double elapsed = std::clamp(feedback.now - link.last_at, 0.0, 2.0);
    link.last_at = feedback.now;
    if (feedback.report)
        take_report(link, feedback, elapsed);
    // No climbing far past what the encoder sends: a still picture proves nothing of the link.
    double most = feedback.sent_kbps > 0 ? std::max(climb_past_sent * feedback.sent_kbps, limits.start_kbps) : 1e9;
    if (link.verdict == video_verdict::clear && feedback.now >= link.cut_until && link.estimate_kbps < most)
        link.estimate_kbps = std::min(most, link.estimate_kbps * std::pow(link.probing ? video_first_climb : video_climb, elapsed));
    // The browser's own estimate follows what it receives, a little above: it counts when it falls well
    // below what is sent, the browser's sign that a queue fills.
    if (feedback.remb_kbps > 0 && feedback.remb_kbps < remb_below * feedback.sent_kbps)
        link.estimate_kbps = std::min(link.estimate_kbps, feedback.remb_kbps);
    link.estimate_kbps = clamp_kbps(link.estimate_kbps, limits);
}

double video_shared_kbps(const std::vector<double>& estimates, const video_limits_type& limits)
{
    if (estimates.empty())
        return clamp_kbps(limits.start_kbps, limits);
    return clamp_kbps(*std::min_element(estimates.begin(), estimates.end()), limits);
}

namespace {

struct step_type {
    int divisor;
    int fps;
};

step_type step_of(int step, int fps)
{
    int half = std::max(least_fps, fps / 2);
    if (step == 0)
        return {1, fps};
    return {step == 1 ? 1 : 2, std::min(fps, half)};
}

double need_kbps(int step, int width, int height, int fps)
{
    step_type s = step_of(step, fps);
    return static_cast<double>(width / s.divisor) * (height / s.divisor) * s.fps * video_bits_per_pixel / 1000;
}

} // namespace

webrtc_encoding_type video_ladder_encoding(video_ladder_type& ladder, double kbps, int width, int height, int fps,
                                           double now)
{
    webrtc_encoding_type encoding;
    encoding.kbps = static_cast<int>(std::lround(kbps));
    if (width <= 0 || height <= 0 || fps <= 0) {
        ladder = video_ladder_type{0, now};
        return encoding;
    }
    while (ladder.step < 2 && kbps < need_kbps(ladder.step, width, height, fps)) {
        ladder.step++;
        ladder.since = now;
    }
    if (ladder.step > 0 && now - ladder.since >= video_ladder_wait &&
        kbps >= ladder_margin * need_kbps(ladder.step - 1, width, height, fps)) {
        ladder.step--;
        ladder.since = now;
    }
    step_type s = step_of(ladder.step, fps);
    encoding.divisor = s.divisor;
    encoding.fps = ladder.step == 0 ? 0 : s.fps;
    return encoding;
}
