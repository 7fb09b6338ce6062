// Proportional driving in the web console: the on-screen stick for touch and mouse, the maximum-speed
// slider this browser remembers, and the mixing of held directions, the stick and a gamepad's stick into
// one forward and turn value. console.js owns the connection and asks this file what to send.
window.quillonTeleop = (function () {
  'use strict';

  const STORE_KEY = 'quillon.max_speed';   // the slider's percentage, kept per browser
  const DEFAULT_PERCENT = 50;
  const GAMEPAD_DEAD_ZONE = 0.12;          // a released gamepad stick rests a little off centre

  const slider = document.getElementById('max-speed');
  const shown = document.getElementById('max-speed-value');
  const area = document.getElementById('stick');
  const knob = document.getElementById('stick-knob');

  let stick = { x: 0, y: 0 };    // the on-screen stick, -1 .. 1, y positive ahead
  let gamepad = { x: 0, y: 0 };  // the gamepad's left stick, the same way round
  let stickPointer = null;       // the pointer that holds the stick
  let changed = () => {};

  const clamp = (value) => Math.min(Math.max(value, -1), 1);
  const round = (value) => Math.round(value * 1000) / 1000 || 0;  // || 0: never a negative zero

  function loadPercent() {
    let stored = null;
    try {
      stored = Number(window.localStorage.getItem(STORE_KEY));
    } catch (e) {
      // storage refused (private mode): the default for this visit
    }
    return stored >= 10 && stored <= 100 ? stored : DEFAULT_PERCENT;
  }

  function setPercent(percent) {
    slider.value = String(percent);
    shown.textContent = percent + ' %';
    try {
      window.localStorage.setItem(STORE_KEY, String(percent));
    } catch (e) {
      // not remembered, still used
    }
  }

  // The command for the held directions (w, a, s, d as booleans) and both sticks, scaled by the slider.
  function command(directions) {
    const scale = Number(slider.value) / 100;
    const forward = (directions.w ? 1 : 0) - (directions.s ? 1 : 0) + stick.y + gamepad.y;
    const turn = (directions.d ? 1 : 0) - (directions.a ? 1 : 0) + stick.x + gamepad.x;
    return { forward: round(clamp(forward) * scale), turn: round(clamp(turn) * scale) };
  }

  function showKnob() {
    knob.style.transform = 'translate(' + (stick.x * 50).toFixed(1) + '%, ' + (-stick.y * 50).toFixed(1) + '%)';
    area.classList.toggle('held', stickPointer !== null);
  }

  // The pointer's place inside the stick's circle, as -1 .. 1 each way, kept within the circle.
  function moveStick(event) {
    const box = area.getBoundingClientRect();
    const radius = box.width / 2;
    let x = (event.clientX - (box.left + radius)) / radius;
    let y = ((box.top + box.height / 2) - event.clientY) / radius;
    const length = Math.hypot(x, y);
    if (length > 1) {
      x /= length;
      y /= length;
    }
    stick = { x, y };
    showKnob();
    changed();
  }

  function centreStick() {
    stickPointer = null;
    stick = { x: 0, y: 0 };
    showKnob();
    changed();
  }

  area.addEventListener('pointerdown', (event) => {
    if (stickPointer !== null || (event.pointerType === 'mouse' && event.button !== 0))
      return;
    event.preventDefault();
    stickPointer = event.pointerId;
    area.setPointerCapture(event.pointerId);  // the stick follows a finger that slides off it
    moveStick(event);
  });
  area.addEventListener('pointermove', (event) => {
    if (event.pointerId === stickPointer)
      moveStick(event);
  });
  for (const type of ['pointerup', 'pointercancel', 'lostpointercapture'])
    area.addEventListener(type, (event) => {
      if (event.pointerId === stickPointer)
        centreStick();
    });
  area.addEventListener('contextmenu', (event) => event.preventDefault());

  slider.addEventListener('input', () => {
    setPercent(Number(slider.value));
    changed();
  });
  setPercent(loadPercent());

  return {
    command,
    // console.js calls back here whenever the stick or the slider moves.
    onChange(callback) {
      changed = callback;
    },
    // The gamepad's stick as its axes report it (y positive down); a small offset counts as centred.
    // Returns whether the stick is off centre.
    setGamepad(x, y) {
      const off = Math.hypot(x, y) > GAMEPAD_DEAD_ZONE;
      gamepad = off ? { x: clamp(x), y: clamp(-y) } : { x: 0, y: 0 };
      return off;
    },
    // Lets go of both sticks.
    release() {
      gamepad = { x: 0, y: 0 };
      if (stickPointer !== null && area.hasPointerCapture(stickPointer))
        area.releasePointerCapture(stickPointer);
      stickPointer = null;
      stick = { x: 0, y: 0 };
      showKnob();
    },
  };
})();
