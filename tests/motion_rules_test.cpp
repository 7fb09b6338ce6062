// The motion rules against a small reference model written here: seeded random sequences of thousands of
// intents from every kind of driver, with time passed as a parameter, compared step by step. A failure
// prints its seed and the shortest sequence found that still fails.
#include "robot/motion_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>

namespace {

constexpr driver_id_type link_id{driver_kind::link, 0}, keyboard_id{driver_kind::keyboard, 0},
    automode_id{driver_kind::automode, 0}, nobody{};

// One step of a sequence: an intent at a time, or the 10 ms tick when tick is set.
struct step_type {
    double time = 0.0;
    bool tick = false;
    intent_type intent;
};

// The rules as a robot builder reads them, kept apart from the program's own code.
struct reference_type {
    struct remote_type {
        drive_command_type command;
        bool held = false;  // must let go and press again
    };
    bool link = false, link_held = false, link_moving = false, link_silent = false;
    double link_time = 0.0;
    unsigned int keys = 0;
    bool keys_held = false, automatic = false;
    std::map<driver_id_type, remote_type> remotes;
    driver_id_type driver;             // who drives
    motion_command_type command;       // what the robot does
    bool moving = false;               // a remote driver's motion is on
    double last_drive = 0.0, last_press = 0.0;
    std::map<driver_id_type, double> notices;  // the last refusal told to each remote driver

    void hold_pressing()
    {
        for (auto& [who, remote] : remotes)
            remote.held = remote.held || remote.command.holds();
    }
    void lose_remote_driver()
    {
        if (motion_is_remote(driver.kind))
            driver = nobody;
    }
    void stop()
    {
        link_held = link_held || (link && link_moving);
        keys_held = keys_held || driver == keyboard_id;
        hold_pressing();
        automatic = false;
        if (driver != link_id)
            driver = nobody;
        command = {};
    }
    void drive(const driver_id_type& who, const drive_command_type& asked)
    {
        remote_type& remote = remotes[who];
        remote.command = asked;
        if (remote.held) {
            remote.held = asked.holds();
            return;
        }
        bool someone_at_robot = link || automatic || driver == keyboard_id;
        if (someone_at_robot || (motion_is_remote(driver.kind) && driver != who)) {
            remote.held = remote.held || (someone_at_robot && asked.holds());
            return;
        }
        if (driver != who && !asked.holds())
            return;
        driver = who;
        moving = asked.holds();
        command = motion_drive_command(asked);
    }
    void apply(const intent_type& intent, double now)
    {
        const driver_id_type& who = intent.who;
        switch (intent.action) {
        case intent_action::drive:
            drive(who, intent.command);
            if (driver == who) {
                last_drive = now;
                if (intent.command.holds())
                    last_press = now;
            }
            break;
        case intent_action::stop: stop(); break;
        case intent_action::leave:
            remotes.erase(who);
            notices.erase(who);  // whoever comes back with its id is a new driver
            if (driver == who)
                driver = nobody, command = {};
            break;
        case intent_action::link_connect:
            hold_pressing();
            link = true, link_held = link_moving = link_silent = false, link_time = now;
            driver = link_id, command = {};
            break;
        case intent_action::link_record:
            if (!link)
                break;
            link_time = now, link_silent = false, link_moving = !motion_record_neutral(intent.record);
            link_held = link_held && link_moving;
            if (!link_held) {
                command = {};
                command.form = motion_command_type::form_type::record;
                std::memcpy(command.record, intent.record, motion_record_length);
            }
            break;
        case intent_action::link_fault:
            if (driver == link_id)
                command = {};
            break;
        case intent_action::link_lost:
            link = link_held = link_moving = link_silent = false;
            if (driver == link_id)
                driver = automatic ? automode_id : nobody;
            command = {};
            break;
        case intent_action::keys: press_keys(intent.command.keys); break;
        case intent_action::focus_lost:
            keys = 0, keys_held = false, moving = false, command = {};
            if (driver == keyboard_id)
                driver = nobody;
            break;
        case intent_action::auto_mode: switch_automatic(intent.command.keys != 0); break;
        case intent_action::auto_record:
            if (automatic && !link) {
                driver = automode_id;
                command = {};
                command.form = motion_command_type::form_type::targets;
                std::memcpy(command.record, intent.record, motion_record_length);
                command.keep_directions = intent.keep_directions;
            }
            break;
        }
    }
    void press_keys(unsigned int held)
    {
        keys = held;
        if (keys_held) {
            keys_held = held != 0;
            return;
        }
        if (link || automatic)
            return;
        if (held == 0) {
            if (!motion_is_remote(driver.kind))
                driver = nobody, command = {};
            return;
        }
        if (motion_is_remote(driver.kind)) {
            driver = nobody;
            hold_pressing();
        }
        driver = keyboard_id;
        drive_command_type asked;
        asked.keys = held;
        command = motion_drive_command(asked);
    }
    void switch_automatic(bool on)
    {
        bool was = automatic;
        automatic = on;
        if (!on) {
            if (driver == automode_id)
                driver = nobody;
            command = {};
        } else if (!was && !link) {
            hold_pressing();
            driver = automode_id, command = {};
        }
    }
    void tick(double now)
    {
        if (link && !link_silent && now - link_time > motion_link_timeout) {
            link_silent = true;
            if (driver == link_id)
                command = {};
        }
        if (!motion_is_remote(driver.kind))
            return;
        if (moving && now - last_drive > motion_remote_deadman)
            moving = false, command = {};
        if (now - last_press > motion_remote_idle)
            driver = nobody, moving = false;
    }
};

// Random intents from every kind: a few drivers of each remote kind, the link, the keyboard, automode.
std::vector<step_type> random_steps(unsigned int seed, int count)
{
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned int>(n)); };
    std::vector<step_type> steps;
    double now = 0.0;
    const driver_kind remote_kinds[] = {driver_kind::browser, driver_kind::foxglove, driver_kind::mqtt};
    for (int i = 0; i < count; i++) {
        now += pick(10) == 0 ? 0.3 * pick(8) : 0.01 * pick(12);
        step_type step;
        step.time = now;
        if (pick(3) == 0) {
            step.tick = true;
            steps.push_back(step);
            continue;
        }
        intent_type& intent = step.intent;
        intent.who = {remote_kinds[pick(3)], static_cast<uint64_t>(1 + pick(3))};
        int choice = pick(100);
        if (choice < 45) {
            intent.action = intent_action::drive;
            intent.command.proportional = pick(2) == 0;
            intent.command.keys = pick(3) == 0 ? 0 : static_cast<unsigned int>(pick(16));
            intent.command.forward = pick(3) == 0 ? 0.0 : (pick(21) - 10) / 10.0;
            intent.command.turn = pick(2) == 0 ? 0.0 : (pick(21) - 10) / 10.0;
        } else if (choice < 52) {
            intent.action = intent_action::stop;
        } else if (choice < 56) {
            intent.action = intent_action::leave;
        } else if (choice < 75) {
            const intent_action link_actions[] = {intent_action::link_connect, intent_action::link_record,
                                                  intent_action::link_record, intent_action::link_record,
                                                  intent_action::link_fault, intent_action::link_lost};
            intent.who = link_id;
            intent.action = link_actions[pick(6)];
            intent.record[1] = static_cast<unsigned char>(pick(4));
            intent.record[2] = static_cast<unsigned char>(pick(2) == 0 ? 0 : pick(256));
            intent.record[3] = static_cast<unsigned char>(pick(2) == 0 ? 0 : pick(256));
        } else if (choice < 94) {
            const intent_action keyboard_actions[] = {intent_action::keys, intent_action::keys, intent_action::keys,
                                                      intent_action::focus_lost, intent_action::auto_mode};
            intent.who = keyboard_id;
            intent.action = keyboard_actions[pick(5)];
            intent.command.keys = static_cast<unsigned int>(pick(3) == 0 ? 0 : pick(16));
        } else {
            intent.who = automode_id;
            intent.action = intent_action::auto_record;
            intent.record[2] = intent.record[3] = static_cast<unsigned char>(pick(2) * 48);
            intent.keep_directions = pick(2) == 0;
        }
        steps.push_back(step);
    }
    return steps;
}

std::string describe(const step_type& step)
{
    static const char* actions[] = {"drive", "stop", "leave", "link_connect", "link_record", "link_fault",
                                    "link_lost", "keys", "focus_lost", "auto_mode", "auto_record"};
    std::ostringstream text;
    text << step.time << " ";
    if (step.tick)
        return text.str() + "tick";
    const intent_type& intent = step.intent;
    text << driver_label(intent.who) << " " << actions[static_cast<int>(intent.action)];
    const drive_command_type& command = intent.command;
    if (intent.action == intent_action::drive && command.proportional)
        text << " forward " << command.forward << " turn " << command.turn;
    else if (intent.action == intent_action::drive || intent.action == intent_action::keys ||
             intent.action == intent_action::auto_mode)
        text << " keys " << command.keys;
    else if (intent.action == intent_action::link_record || intent.action == intent_action::auto_record)
        text << " targets " << int(intent.record[2]) << " " << int(intent.record[3]);
    return text.str();
}

// Runs the steps through both; the index of the first step where they differ, or -1. why says how.
int first_difference(const std::vector<step_type>& steps, std::string* why)
{
    motion_state_type state;
    reference_type model;
    for (size_t i = 0; i < steps.size(); i++) {
        const step_type& step = steps[i];
        motion_output_type out;
        if (step.tick) {
            motion_rules_tick(state, step.time, out);
            model.tick(step.time);
        } else {
            motion_rules_apply(state, step.intent, step.time, out);
            model.apply(step.intent, step.time);
        }
        for (const motion_notice_type& notice : out.refusals) {
            auto last = model.notices.find(notice.who);
            if (last != model.notices.end() && step.time - last->second < motion_notice_period) {
                *why = driver_label(notice.who) + " was told twice within a second";
                return static_cast<int>(i);
            }
            model.notices[notice.who] = step.time;
        }
        if (state.current != model.driver) {
            *why = "drives: " + driver_label(state.current) + ", expected " + driver_label(model.driver);
            return static_cast<int>(i);
        }
        if (!(state.command == model.command)) {
            *why = std::string("the robot ") + (state.command.moves() ? "moves" : "stands") + ", expected it " +
                   (model.command.moves() ? "to move" : "to stand") + " or another command";
            return static_cast<int>(i);
        }
        if (state.command.moves() && state.link_connected && state.current != link_id) {
            *why = "moved by another driver while the link holds a client";
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Removes steps one at a time while the sequence still fails, up to the first failing step.
std::vector<step_type> shortest_failing(std::vector<step_type> steps)
{
    std::string why;
    int failing = first_difference(steps, &why);
    steps.resize(static_cast<size_t>(failing) + 1);
    for (bool shrunk = true; shrunk;) {
        shrunk = false;
        for (size_t i = 0; i + 1 < steps.size(); i++) {
            std::vector<step_type> fewer = steps;
            fewer.erase(fewer.begin() + static_cast<long>(i));
            if (int at = first_difference(fewer, &why); at >= 0) {
                fewer.resize(static_cast<size_t>(at) + 1);
                steps = fewer;
                shrunk = true;
                break;
            }
        }
    }
    return steps;
}

} // namespace

TEST(MotionRules, RandomIntentsFromEveryDriverFollowTheReferenceModel)
{
    for (unsigned int seed = 1; seed <= 40; seed++) {
        std::vector<step_type> steps = random_steps(seed, 5000);
        std::string why;
        if (first_difference(steps, &why) < 0)
            continue;
        std::vector<step_type> shortest = shortest_failing(steps);
        first_difference(shortest, &why);
        std::string listing;
        for (const step_type& step : shortest)
            listing += "  " + describe(step) + "\n";
        ADD_FAILURE() << "seed " << seed << ": " << why << "\n" << listing;
        return;
    }
}

TEST(MotionRules, AStopHoldsWhoeverPressedAndSaysSo)
{
    std::vector<step_type> steps(3);
    steps[0].intent.who = {driver_kind::browser, 1};
    steps[0].intent.command.keys = drive_key_w;
    steps[1].intent.who = {driver_kind::mqtt, 2};
    steps[1].intent.action = intent_action::stop;
    steps[2] = steps[0];
    std::string why;
    EXPECT_EQ(first_difference(steps, &why), -1) << why;
    motion_state_type state;
    motion_output_type out;
    for (const step_type& step : steps)
        motion_rules_apply(state, step.intent, step.time, out);
    EXPECT_FALSE(state.command.moves()) << "the browser still presses from before the STOP";
    ASSERT_EQ(out.message_lines.size(), 1u);
    EXPECT_EQ(out.message_lines[0], "STOP from mqtt 2: browser 1 is held until they let go and press again.");
    ASSERT_EQ(out.refusals.size(), 1u);
    EXPECT_EQ(out.refusals[0].text, "a STOP holds you: let go, then press again to drive");
}
