// The web console in the browser: shows the robot's state as Quillon sends it over the WebSocket, plots the
// analog channels and shows the camera picture, and turns keys, a gamepad and the touch buttons into drive
// messages. Quillon stops the robot when drive messages stop coming, so everything here errs towards
// releasing: any doubt about what is held (focus lost, page hidden, connection gone) lets go of all of it.
(function () {
  'use strict';

  const SEND_PERIOD_MS = 50;      // drive messages while something is held; Quillon stops after 500 ms without
  const CHANGE_GAP_MS = 20;       // between two drive messages for a moving stick (Quillon closes past 100 a second)
  const STALE_MS = 3000;          // no state for this long and the connection is taken as dead
  const RETRY_FIRST_MS = 500;
  const RETRY_MAX_MS = 5000;
  const PICTURE_OLD_MS = 5000;    // a picture older than this while connected is marked with its age
  const PLOT_SECONDS = 60;
  const DIRECTIONS = ['w', 'a', 's', 'd'];
  const CHANNEL_COLOURS = ['#1f4fd8', '#d42a2a', '#1d7a3a', '#b25e00', '#7b3fb5', '#0a8a8a', '#c2187a', '#55606b'];
  const DRIVER_NAMES = {
    link: 'the operator link', keyboard: "the robot's keyboard", foxglove: 'a Foxglove client', mqtt: 'the fleet',
    none: 'nobody',
  };

  const $ = (id) => document.getElementById(id);
  const token = new URLSearchParams(location.search).get('token') || '';

  // ---- connection ----

  let socket = null;
  let retryDelay = RETRY_FIRST_MS;
  let retryTimer = null;
  let lastMessageAt = 0;
  let updatesThisSecond = 0;
  let state = null;
  const NOTICE_MS = 4000;       // how long a notice from the robot stays
  let robotNotice = '';
  let robotNoticeUntil = 0;

  function socketAddress() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    // A page that will try the video asks for pictures only if the video does not come: on a narrow link
    // pictures sent before it could say so would crowd the video's first seconds.
    return scheme + '//' + location.host + '/ws?token=' + encodeURIComponent(token) +
      (window.RTCPeerConnection ? '&pictures=0' : '');
  }

  function connect() {
    retryTimer = null;
    showConnection('connecting', 'connecting');
    const ws = new WebSocket(socketAddress());
    ws.binaryType = 'blob';
    let opened = false;
    ws.onopen = () => {
      opened = true;
      retryDelay = RETRY_FIRST_MS;
      lastMessageAt = Date.now();
      showConnection('open', 'connected');
      setNotice('');
      if (window.quillonVideo)
        window.quillonVideo.open(send);
    };
    ws.onmessage = (event) => {
      lastMessageAt = Date.now();
      if (typeof event.data === 'string')
        receiveText(event.data);
      else
        showFrame(event.data);
    };
    ws.onclose = () => lost(ws, opened);
    ws.onerror = () => {};  // a close event always follows
    socket = ws;
  }

  // The connection is gone: let go of everything and try again, waiting longer each time.
  function lost(ws, opened) {
    if (ws !== socket)
      return;
    socket = null;
    ws.onopen = ws.onmessage = ws.onclose = null;
    releaseAll(false);
    if (window.quillonVideo)
      window.quillonVideo.closed();
    state = null;
    showConnection('closed', 'disconnected');
    forgetLiveFacts();
    const seconds = Math.round(retryDelay / 100) / 10;
    setNotice('Not connected to Quillon; trying again in ' + seconds + ' s.');
    if (!opened)
      explainRefusal(seconds);
    retryTimer = setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, RETRY_MAX_MS);
  }

  // A WebSocket that never opened says nothing about why; a plain GET of its address answers as the
  // upgrade was answered (401 for the token, 503 when every browser place is taken).
  function explainRefusal(seconds) {
    const address = location.protocol + '//' + location.host + '/ws?token=' + encodeURIComponent(token);
    fetch(address, { cache: 'no-store' }).then((response) => {
      if (socket)
        return;                 // connected again meanwhile
      if (response.status === 401)
        setNotice('Quillon does not accept the token in this address. The address with the current token ' +
                  "is on Quillon's status display.");
      else if (response.status === 503)
        setNotice('The console is full: every browser place is taken. Trying again in ' + seconds + ' s.');
    }).catch(() => {});
  }

  // What the page showed as live is unknown once the connection is gone: nobody is named as driving, the
  // pad is not shown locked, and the picture is marked old.
  function forgetLiveFacts() {
    setText('driver', 'unknown');
    setText('remote', '\u2013');
    $('remote').classList.remove('remote');
    $('pad').classList.remove('locked');
    showPictureAge();
  }

  function send(message) {
    if (socket && socket.readyState === WebSocket.OPEN)
      socket.send(JSON.stringify(message));
  }

  function receiveText(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch (e) {
      return;
    }
    if (message && message.type === 'state') {
      state = message;
      updatesThisSecond++;
      showState(message);
    } else if (message && message.type === 'notice' && typeof message.message === 'string') {
      robotNotice = message.message;
      robotNoticeUntil = Date.now() + NOTICE_MS;
      setNotice(robotNotice);
    } else if (message && window.quillonVideo) {
      window.quillonVideo.receive(message);   // the live video's signalling
    }
  }

  function checkConnection() {
    showPictureAge();
    $('update-rate').textContent = updatesThisSecond + ' updates/s';
    updatesThisSecond = 0;
    if (socket && socket.readyState === WebSocket.OPEN && Date.now() - lastMessageAt > STALE_MS) {
      const dead = socket;
      dead.close();
      lost(dead, true);
    }
  }

  function showConnection(kind, text) {
    const element = $('connection');
    element.dataset.state = kind;
    element.textContent = text;
    document.body.classList.toggle('offline', kind !== 'open');   // the values shown are no longer live
  }

  // ---- the state ----

  function setText(id, text) {
    const element = $(id);
    if (element.textContent !== text)
      element.textContent = text;
  }

  function number(value, digits) {
    return typeof value === 'number' && isFinite(value) ? value.toFixed(digits) : '\u2013';
  }

  function setBar(bar, fraction, reverse) {
    const clamped = Math.min(Math.max(Number(fraction) || 0, 0), 1);
    bar.firstElementChild.style.height = (clamped * 100).toFixed(1) + '%';
    bar.classList.toggle('reverse', !!reverse);
  }

  function showState(s) {
    setText('serial-rate', number(s.serial_rate, 0));
    setText('camera-rate', s.camera_rate === null ? 'no camera' : number(s.camera_rate, 3));
    setText('remote', s.remote ? 'Remote mode' : 'Local mode');
    $('remote').classList.toggle('remote', !!s.remote);
    setText('auto', s.auto ? 'Auto mode' : 'Manual mode');
    showMotor('left', s.left);
    showMotor('right', s.right);
    showAnalog(Array.isArray(s.analog) ? s.analog : []);
    showMessages(Array.isArray(s.messages) ? s.messages : []);
    showDriver(s);
    addSample(s.time, s.analog);
  }

  function showMotor(side, motor) {
    motor = motor || {};
    setBar($(side + '-bar'), (Number(motor.speed) || 0) / 255, motor.reverse);
    setText(side + '-target', number(motor.target, 0));
  }

  function buildAnalogBars() {
    const holder = $('analog-bars');
    const legend = $('legend');
    for (let i = 0; i < 8; i++) {
      const cell = document.createElement('div');
      cell.className = 'bar-cell';
      cell.innerHTML = '<div class="bar"><div class="fill"></div></div><span class="value">\u2013</span>' +
                       '<span class="label">' + i + '</span>';
      holder.appendChild(cell);
      const key = document.createElement('span');
      key.style.setProperty('--swatch', CHANNEL_COLOURS[i]);
      key.textContent = 'channel ' + i;
      legend.appendChild(key);
    }
  }

  function showAnalog(values) {
    const cells = $('analog-bars').children;
    for (let i = 0; i < cells.length; i++) {
      setBar(cells[i].firstElementChild, values[i], false);
      const text = number(values[i], 4);
      const label = cells[i].children[1];
      if (label.textContent !== text)
        label.textContent = text;
    }
  }

  function showMessages(lines) {
    const list = $('messages');
    const joined = lines.join('\n');
    if (list.dataset.shown === joined)
      return;
    list.dataset.shown = joined;
    list.replaceChildren(...lines.map((line) => {
      const item = document.createElement('li');
      item.textContent = String(line);
      return item;
    }));
  }

  function showDriver(s) {
    const name = s.driver === 'browser' ? (s.you_drive ? 'you' : 'a browser') : (DRIVER_NAMES[s.driver] || 'nobody');
    setText('driver', name);
    const watching = s.browsers > 1 ? ' (' + s.browsers + ' browsers connected)' : '';
    let notice = '';
    if (s.driver === 'link')
      notice = 'The operator link drives the robot; browsers watch. STOP still stops it.';
    else if (s.driver === 'browser' && !s.you_drive)
      notice = 'Another browser drives the robot; you can drive once it lets go. STOP still stops it.';
    else if (s.driver !== 'none' && !s.you_drive && DRIVER_NAMES[s.driver])
      notice = 'Driving: ' + DRIVER_NAMES[s.driver] + '; browsers watch. STOP still stops it.';
    $('pad').classList.toggle('locked', notice !== '');
    padLockedBecause = notice;
    if (!notice && !s.you_drive && moving(sent) && Date.now() - heldSince > 300)
      notice = 'The robot was stopped: let go of every direction to drive again.';
    if (Date.now() < robotNoticeUntil)
      notice = robotNotice;  // what the robot said to this browser, for a few seconds
    setNotice(notice ? notice + watching : '');
  }

  function setNotice(text) {
    const notice = $('notice');
    if (notice.textContent !== text)
      notice.textContent = text;
    notice.classList.toggle('empty', text === '');
  }

  // ---- the camera: each binary message is one whole JPEG ----

  const picture = $('camera');
  let shownUrl = null;
  let loadingUrl = null;
  let waitingUrl = null;
  let pictureAt = 0;            // when the picture shown arrived

  function showPictureAge() {
    const age = Date.now() - pictureAt;
    const live = socket !== null && socket.readyState === WebSocket.OPEN;
    const old = shownUrl !== null && (!live || age > PICTURE_OLD_MS);
    picture.parentElement.classList.toggle('old', old);
    const label = $('picture-age');
    label.hidden = !old;
    if (old)
      setText('picture-age', 'picture from ' + Math.round(age / 1000) + ' s ago');
  }

  function showFrame(blob) {
    const url = URL.createObjectURL(new Blob([blob], { type: 'image/jpeg' }));
    if (loadingUrl) {           // the newest frame waits; an older waiting one is dropped
      if (waitingUrl)
        URL.revokeObjectURL(waitingUrl);
      waitingUrl = url;
      return;
    }
    loadingUrl = url;
    picture.src = url;
  }

  function frameDone() {
    if (shownUrl && shownUrl !== picture.src)
      URL.revokeObjectURL(shownUrl);
    shownUrl = loadingUrl;
    loadingUrl = null;
    pictureAt = Date.now();
    showPictureAge();
    $('no-picture').hidden = true;
    if (waitingUrl) {
      const next = waitingUrl;
      waitingUrl = null;
      loadingUrl = next;
      picture.src = next;
    }
  }

  picture.addEventListener('load', frameDone);
  picture.addEventListener('error', frameDone);

  // ---- the plot of the analog channels over the last minute ----

  const samples = [];           // {time, values}, oldest first
  let plotPending = false;

  function addSample(time, values) {
    if (typeof time !== 'number' || !Array.isArray(values))
      return;
    if (samples.length && time < samples[samples.length - 1].time)
      samples.length = 0;       // Quillon started again
    samples.push({ time: time, values: values.slice(0, 8).map(Number) });
    while (samples.length && samples[0].time < time - PLOT_SECONDS)
      samples.shift();
    if (!plotPending) {
      plotPending = true;
      requestAnimationFrame(drawPlot);
    }
  }

  function drawPlot() {
    plotPending = false;
    const canvas = $('plot');
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    const w = width / ratio;
    const h = height / ratio;
    const area = { left: 34, right: w - 6, top: 6, bottom: h - 18 };
    g.clearRect(0, 0, w, h);
    drawGrid(g, area);
    if (!samples.length)
      return;
    const now = samples[samples.length - 1].time;
    const x = (time) => area.right - (now - time) / PLOT_SECONDS * (area.right - area.left);
    const y = (value) => area.bottom - Math.min(Math.max(value, 0), 1) * (area.bottom - area.top);
    g.lineWidth = 1.5;
    for (let channel = 0; channel < 8; channel++) {
      g.strokeStyle = CHANNEL_COLOURS[channel];
      g.beginPath();
      samples.forEach((sample, i) => {
        const v = sample.values[channel];
        if (i === 0)
          g.moveTo(x(sample.time), y(v || 0));
        else
          g.lineTo(x(sample.time), y(v || 0));
      });
      g.stroke();
    }
  }

  function drawGrid(g, area) {
    g.font = '11px system-ui, sans-serif';
    g.fillStyle = '#5b6470';
    g.strokeStyle = '#e1e6eb';
    g.lineWidth = 1;
    g.textAlign = 'right';
    g.textBaseline = 'middle';
    for (let step = 0; step <= 4; step++) {
      const y = Math.round(area.bottom - step / 4 * (area.bottom - area.top)) + 0.5;
      g.beginPath();
      g.moveTo(area.left, y);
      g.lineTo(area.right, y);
      g.stroke();
      g.fillText((step / 4).toFixed(2), area.left - 4, y);
    }
    g.textBaseline = 'top';
    for (let seconds = 0; seconds <= PLOT_SECONDS; seconds += 10) {
      const x = Math.round(area.right - seconds / PLOT_SECONDS * (area.right - area.left)) + 0.5;
      g.textAlign = seconds === 0 ? 'right' : 'center';
      g.beginPath();
      g.moveTo(x, area.top);
      g.lineTo(x, area.bottom);
      g.stroke();
      g.fillText(seconds === 0 ? 'now' : '-' + seconds + ' s', x, area.bottom + 4);
    }
  }

  // ---- driving: keys, touch buttons and gamepads, merged into one set of directions, and with the sticks
  // and the maximum speed (stick.js) into one forward and turn ----

  const teleop = window.quillonTeleop;

  const none = () => ({ w: false, a: false, s: false, d: false });
  const keysHeld = none();
  const pointersHeld = { w: new Set(), a: new Set(), s: new Set(), d: new Set() };
  let gamepadHeld = none();
  let gamepadMustCentre = false; // after letting go, a gamepad drives again only from its centre
  let sent = { forward: 0, turn: 0 };
  let sendTimer = null;
  let heldSince = 0;            // when the directions last went from none held to some

  function held() {
    const result = none();
    for (const key of DIRECTIONS)
      result[key] = keysHeld[key] || pointersHeld[key].size > 0 || gamepadHeld[key];
    return result;
  }

  const anyHeld = (directions) => DIRECTIONS.some((key) => directions[key]);
  const moving = (command) => command.forward !== 0 || command.turn !== 0;
  let lastDriveAt = 0;
  let changeTimer = null;

  function sendDrive(command) {
    lastDriveAt = Date.now();
    send({ type: 'drive', forward: command.forward, turn: command.turn });
  }

  // After every change: a message at once, then one every 50 ms while the robot is asked to move, and a
  // last one that asks for nothing.
  function inputChanged() {
    const directions = held();
    for (const button of document.querySelectorAll('.dir')) {
      button.classList.toggle('held', directions[button.dataset.key]);
      button.setAttribute('aria-pressed', directions[button.dataset.key] ? 'true' : 'false');
    }
    const now = teleop.command(directions);
    if (now.forward === sent.forward && now.turn === sent.turn)
      return;
    // A stick moves in many small steps: they go out at most every CHANGE_GAP_MS, the last one included.
    // Letting go goes at once.
    const wait = lastDriveAt + CHANGE_GAP_MS - Date.now();
    if (wait > 0 && moving(now)) {
      if (changeTimer === null)
        changeTimer = setTimeout(() => { changeTimer = null; inputChanged(); }, wait);
      return;
    }
    announcePad(directions);
    if (!moving(sent))
      heldSince = Date.now();
    sent = now;
    sendDrive(now);
    clearInterval(sendTimer);
    sendTimer = moving(now) ? setInterval(() => sendDrive(sent), SEND_PERIOD_MS) : null;
  }
  teleop.onChange(inputChanged);

  // Lets go of every key, button and stick; with stop, also tells Quillon to stop if this page may be driving.
  function releaseAll(stop) {
    const wasDriving = moving(sent) || (state !== null && state.you_drive);
    for (const key of DIRECTIONS) {
      keysHeld[key] = false;
      pointersHeld[key].clear();
    }
    if (anyHeld(gamepadHeld) || gamepadStickOff)
      gamepadMustCentre = true;
    gamepadHeld = none();
    teleop.release();
    inputChanged();
    if (stop && wasDriving)
      send({ type: 'stop' });
  }

  function stopRobot() {
    releaseAll(false);
    send({ type: 'stop' });
  }

  function keyDirection(event) {
    const byCode = { KeyW: 'w', KeyA: 'a', KeyS: 's', KeyD: 'd', ArrowUp: 'w', ArrowLeft: 'a', ArrowDown: 's',
                     ArrowRight: 'd' };
    if (byCode[event.code])
      return byCode[event.code];
    const key = (event.key || '').toLowerCase();
    return DIRECTIONS.includes(key) ? key : null;
  }

  window.addEventListener('keydown', (event) => {
    if (event.code === 'Space' || event.key === ' ') {
      event.preventDefault();
      if (!event.repeat)
        stopRobot();
      return;
    }
    if (event.ctrlKey || event.metaKey || event.altKey)
      return;
    const key = keyDirection(event);
    if (!key)
      return;
    event.preventDefault();
    if (event.repeat)
      return;
    keysHeld[key] = true;
    inputChanged();
  });

  window.addEventListener('keyup', (event) => {
    const key = keyDirection(event);
    if (!key)
      return;
    keysHeld[key] = false;
    inputChanged();
  });

  // Said aloud by screen readers: what the pad now asks for, or why it does nothing.
  const DIRECTION_NAMES = { w: 'forward', a: 'left', s: 'backward', d: 'right' };
  let padLockedBecause = '';

  function announcePad(directions) {
    const names = DIRECTIONS.filter((key) => directions[key]).map((key) => DIRECTION_NAMES[key]);
    let text = names.length ? 'Driving ' + names.join(' and ') : 'Released';
    if (names.length && padLockedBecause)
      text = 'Not driving: ' + padLockedBecause;
    else if (names.length && !socket)
      text = 'Not driving: not connected to Quillon';
    setText('pad-status', text);
  }

  // Enter on a focused pad button holds its direction until the key comes up or the focus leaves.
  function bindButtonKeys(button, key) {
    button.addEventListener('keydown', (event) => {
      if (event.key !== 'Enter')
        return;
      event.preventDefault();
      if (!event.repeat && !pointersHeld[key].has('keyboard')) {
        pointersHeld[key].add('keyboard');
        inputChanged();
      }
    });
    const letGo = (event) => {
      if ((event.type === 'blur' || event.key === 'Enter') && pointersHeld[key].delete('keyboard'))
        inputChanged();
    };
    button.addEventListener('keyup', letGo);
    button.addEventListener('blur', letGo);
  }

  function bindTouchButtons() {
    for (const button of document.querySelectorAll('.dir')) {
      const key = button.dataset.key;
      bindButtonKeys(button, key);
      button.addEventListener('pointerdown', (event) => {
        if (event.pointerType === 'mouse' && event.button !== 0)
          return;
        event.preventDefault();
        // Touch captures the pointer by default; without capture, sliding off the button lets go.
        if (button.hasPointerCapture(event.pointerId))
          button.releasePointerCapture(event.pointerId);
        pointersHeld[key].add(event.pointerId);
        inputChanged();
      });
      const letGo = (event) => {
        if (pointersHeld[key].delete(event.pointerId))
          inputChanged();
      };
      for (const type of ['pointerup', 'pointercancel', 'pointerleave', 'lostpointercapture'])
        button.addEventListener(type, letGo);
    }
    $('pad').addEventListener('contextmenu', (event) => event.preventDefault());
  }

  // Gamepads: the left stick proportionally (stick.js), the d-pad as four directions, read once per
  // animation frame while one is connected; the B button (the right face button) stops.
  let gamepadPolling = false;
  let stopButtonWasDown = false;
  let gamepadStickOff = false;  // the left stick was off centre at the last reading

  function readGamepads() {
    const directions = none();
    const names = [];
    let stopDown = false;
    let x = 0;
    let y = 0;
    const pads = navigator.getGamepads ? Array.from(navigator.getGamepads()) : [];
    for (const pad of pads) {
      if (!pad || !pad.connected)
        continue;
      names.push(pad.id);
      x += pad.axes[0] || 0;
      y += pad.axes[1] || 0;
      const button = (i) => pad.mapping === 'standard' && !!pad.buttons[i] && pad.buttons[i].pressed;
      directions.w = directions.w || button(12);
      directions.s = directions.s || button(13);
      directions.a = directions.a || button(14);
      directions.d = directions.d || button(15);
      stopDown = stopDown || button(1);
    }
    return { directions, x, y, names, stopDown };
  }

  function pollGamepads() {
    const reading = readGamepads();
    if (reading.stopDown && !stopButtonWasDown)
      stopRobot();
    stopButtonWasDown = reading.stopDown;
    let directions = reading.directions;
    gamepadStickOff = teleop.setGamepad(reading.x, reading.y);
    if (gamepadMustCentre) {
      if (!anyHeld(directions) && !gamepadStickOff)
        gamepadMustCentre = false;
      directions = none();
      teleop.setGamepad(0, 0);
    }
    gamepadHeld = directions;
    inputChanged();
    setText('gamepad', reading.names.length ? 'gamepad: ' + reading.names.join(', ') : 'no gamepad');
    gamepadPolling = reading.names.length > 0;
    if (gamepadPolling)
      requestAnimationFrame(pollGamepads);
  }

  window.addEventListener('gamepadconnected', () => {
    if (!gamepadPolling) {
      gamepadPolling = true;
      requestAnimationFrame(pollGamepads);
    }
  });

  // ---- letting go whenever the page may no longer see the driver's hands ----

  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'hidden')
      releaseAll(true);
  });
  window.addEventListener('pagehide', () => releaseAll(true));
  window.addEventListener('blur', () => releaseAll(true));
  $('stop').addEventListener('click', stopRobot);

  buildAnalogBars();
  bindTouchButtons();
  requestAnimationFrame(drawPlot);
  setInterval(checkConnection, 1000);
  connect();
})();

// ---- the Foxglove connection: the same port and token, the foxglove.websocket.v1 subprotocol ----

(() => {
  'use strict';
  const token = new URLSearchParams(location.search).get('token') || '';
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const url = scheme + '//' + location.host + '/?token=' + encodeURIComponent(token);
  document.getElementById('foxglove-url').textContent = url;
  document.getElementById('foxglove-open').href =
    'https://app.foxglove.dev/?ds=foxglove-websocket&ds.url=' + encodeURIComponent(url);
})();

// Recordings: the flight recorder's files, listed with their times and sizes for download.
(function () {
  'use strict';
  const token = new URLSearchParams(location.search).get('token') || '';
  const query = '?token=' + encodeURIComponent(token);
  const panel = document.getElementById('recordings-panel');
  const table = document.getElementById('recordings');

  function sizeText(bytes) {
    if (bytes >= 1048576) return (bytes / 1048576).toFixed(1) + ' MB';
    return Math.max(1, Math.round(bytes / 1024)) + ' KB';
  }

  // quillon-20261208-181500-123.mcap began at 2026-12-08 18:15:00.
  function beganText(name) {
    const m = /^quillon-(\d{4})(\d{2})(\d{2})-(\d{2})(\d{2})(\d{2})/.exec(name);
    return m ? m[1] + '-' + m[2] + '-' + m[3] + ' ' + m[4] + ':' + m[5] + ':' + m[6] : '';
  }

  function row(recording) {
    const tr = document.createElement('tr');
    const link = document.createElement('a');
    link.href = '/recordings/' + encodeURIComponent(recording.name) + query;
    link.download = recording.name;
    link.textContent = recording.name + (recording.open ? ' (recording)' : '');
    const cells = [link, beganText(recording.name), recording.modified.replace('T', ' ').slice(0, 19),
                   sizeText(recording.size)];
    for (const content of cells) {
      const td = document.createElement('td');
      td.append(content);
      tr.append(td);
    }
    return tr;
  }

  function refresh() {
    fetch('/recordings' + query, { cache: 'no-store' })
      .then((response) => (response.ok ? response.json() : []))
      .then((list) => {
        panel.hidden = list.length === 0;
        table.replaceChildren(...list.reverse().map(row));
      })
      .catch(() => {});
  }

  refresh();
  setInterval(refresh, 10000);
})();
