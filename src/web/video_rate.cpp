// The live video's bitrate, per viewer's link and for the encoder they share, and its ladder of frame size
// and rate.
#include "web/video_rate.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double hold_after_cut = 1.0;      // seconds without climbing after backing off
constexpr double queue_cut = 0.85;          // of what went through, when a queue fills
constexpr double queue_fall = 0.02;         // seconds of round trip less than the last: the queue drains
constexpr double least_creep = 0.001;       // seconds a second the least round trip rises by itself
constexpr double ladder_margin = 1.5;       // a step up needs this much more than the step's own need
constexpr int least_fps = 10;
constexpr double climb_past_sent = 2.0;     // the estimate climbs to at most this times what is sent
constexpr double remb_below = 0.7;          // a REMB under this share of what is sent pulls the estimate down
constexpr double short_frames = 0.75;       // an encoder making fewer of the frames it is given drops them
constexpr double short_over = 1.3;          // one making more than this times its bitrate cannot go so low
constexpr double short_wait = 2.0;          // seconds it falls short before its step is judged too rich
constexpr double learnt_memory = 120.0;     // seconds a step's learnt need holds: the picture changes

double clamp_kbps(double kbps, const video_limits_type& limits)
{
    double floor = std::min(limits.floor_kbps, limits.ceiling_kbps);
    return std::max(floor, std::min(kbps, limits.ceiling_kbps));
}

// What went through while the link showed its limit: what was sent, within the estimate (what is sent
// beyond it is packets sent again) and at least half of it (an encoder sending less than it may, a still
// picture, did not fill the queue alone).
double went_through(const video_link_type& link, const webrtc_feedback_type& feedback)
{
    double sent = feedback.sent_kbps > 0 ? feedback.sent_kbps : link.estimate_kbps;
    return std::clamp(sent, link.estimate_kbps / 2, link.estimate_kbps);
}

void back_off(video_link_type& link, double through, double kbps, double now)
{
    link.verdict = video_verdict::congested;
    link.probing = false;
    if (!link.draining)
        link.limit_kbps = through;
    link.draining = true;
    link.estimate_kbps = std::min(link.estimate_kbps, kbps);
    link.cut_until = now + hold_after_cut;
}

// The climb a second: fast before the link has shown its limit and once well past it, slowly near it,
// where a queue would build, and in between, after backing off, 8 %.
double climb_of(const video_link_type& link)
{
    if (link.probing)
        return video_first_climb;
    return link.estimate_kbps < video_near_limit * link.limit_kbps ? video_climb : video_near_climb;
}

// Judges one receiver report, and backs off at once when it says so. After backing off, the link's queue
// takes a while to drain, and reports meanwhile tell of it still: only a queue that has not begun to drain
// a second after calls for more.
void take_report(video_link_type& link, const webrtc_feedback_type& feedback, double elapsed)
{
    bool heard = feedback.round_trip > 0;
    if (heard) {
        double crept = link.least_round_trip + least_creep * elapsed;
        link.least_round_trip = link.least_round_trip > 0 ? std::min(crept, feedback.round_trip) : feedback.round_trip;
    }
    bool queue = heard && feedback.round_trip - link.least_round_trip > video_queue_limit;
    bool falling = heard && feedback.round_trip < link.round_trip - queue_fall;
    if (heard)
        link.round_trip = feedback.round_trip;
    if (heard && !queue)
        link.draining = false;
    bool anew = !link.draining || (feedback.now >= link.cut_until && !falling);
    double through = went_through(link, feedback);
    if (feedback.fraction_lost > video_loss_high && anew)
        back_off(link, through, link.estimate_kbps * (1 - 0.5 * feedback.fraction_lost), feedback.now);
    else if (queue && anew)
        back_off(link, through, queue_cut * through, feedback.now);
    else if (link.draining) {
        link.verdict = video_verdict::congested;
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
    if (!link.probing && link.estimate_kbps > video_past_limit * link.limit_kbps)
        link.probing = true;
    if (link.verdict == video_verdict::clear && feedback.now >= link.cut_until && link.estimate_kbps < most)
        link.estimate_kbps = std::min(most, link.estimate_kbps * std::pow(climb_of(link), elapsed));
    // The browser's own estimate follows what it receives, a little above and slowly: it counts when it
    // falls, and well below what is sent, the browser's sign that a queue fills.
    bool fell = link.remb_kbps > 0 && feedback.remb_kbps < link.remb_kbps;
    if (fell && feedback.remb_kbps > 0 && feedback.remb_kbps < remb_below * feedback.sent_kbps)
        link.estimate_kbps = std::min(link.estimate_kbps, feedback.remb_kbps);
    if (feedback.remb_kbps > 0)
        link.remb_kbps = feedback.remb_kbps;
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
    if (step < 2)
        return {step == 0 ? 1 : 2, fps};
    return {2, std::min(fps, std::max(least_fps, fps / 2))};
}

// What a step needs: what its pixels need by the rule of thumb, or what the encoder was seen to need, if
// more and lately.
double need_kbps(const video_ladder_type& ladder, int step, const webrtc_feedback_type& feedback)
{
    step_type s = step_of(step, feedback.fps);
    double pixels = static_cast<double>(feedback.width / s.divisor) * (feedback.height / s.divisor) * s.fps;
    double rule = pixels * video_bits_per_pixel / 1000;
    bool fresh = ladder.learnt_kbps[step] > 0 && feedback.now - ladder.learnt_at[step] < learnt_memory;
    return fresh ? std::max(rule, ladder.learnt_kbps[step]) : rule;
}

void remember(video_ladder_type& ladder, double now)
{
    ladder.learnt_kbps[ladder.step] = ladder.shown_kbps;
    ladder.learnt_at[ladder.step] = now;
    ladder.short_since = 0;
}

// An encoder that has dropped frames, or sent well over its bitrate, for a while has shown what its step
// needs: what it sent, for all the frames it was given.
void learn(video_ladder_type& ladder, const webrtc_feedback_type& feedback)
{
    bool dropping = feedback.encoded_fps < short_frames * feedback.offered_fps;
    bool over = feedback.encoded_kbps > short_over * ladder.asked_kbps;
    if (feedback.offered_fps <= 0 || ladder.asked_kbps <= 0 || !(dropping || over)) {
        ladder.short_since = 0;
        return;
    }
    if (ladder.short_since == 0)
        ladder.short_since = feedback.now;
    double share = feedback.offered_fps / std::max(feedback.encoded_fps, 1.0);
    ladder.shown_kbps = feedback.encoded_kbps * std::min(share, 10.0);
    if (feedback.now - ladder.short_since >= short_wait)
        remember(ladder, feedback.now);
}

void take_step(video_ladder_type& ladder, int step, double now)
{
    // A step left while its encoder fell short is remembered for what it showed, too.
    if (step > ladder.step && ladder.short_since > 0)
        remember(ladder, now);
    ladder.step = step;
    ladder.since = now;
    ladder.short_since = 0;
}

} // namespace

webrtc_encoding_type video_ladder_encoding(video_ladder_type& ladder, double kbps, const webrtc_feedback_type& feedback)
{
    webrtc_encoding_type encoding;
    encoding.kbps = static_cast<int>(std::lround(kbps));
    double now = feedback.now;
    if (feedback.width <= 0 || feedback.height <= 0 || feedback.fps <= 0) {
        ladder = video_ladder_type{};
        ladder.since = now;
        return encoding;
    }
    learn(ladder, feedback);
    while (ladder.step < video_ladder_steps - 1 && kbps < need_kbps(ladder, ladder.step, feedback))
        take_step(ladder, ladder.step + 1, now);
    if (ladder.step > 0 && now - ladder.since >= video_ladder_wait &&
        kbps >= ladder_margin * need_kbps(ladder, ladder.step - 1, feedback))
        take_step(ladder, ladder.step - 1, now);
    ladder.asked_kbps = kbps;
    step_type s = step_of(ladder.step, feedback.fps);
    encoding.divisor = s.divisor;
    encoding.fps = ladder.step == video_ladder_steps - 1 ? s.fps : 0;
    return encoding;
}
