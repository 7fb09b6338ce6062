// Mounts Foxglove Studio's App as its web build would, with what a test needs and nothing kept: layouts
// and settings in memory, Quillon's layout ready under the id "quillon", and the two data sources used
// here (a live Foxglove WebSocket, a remote MCAP file). The address picks one: ?ds=...&layoutId=quillon.
(async () => {
  'use strict';
  const layout = await (await fetch('/layout.json')).json();
  const now = new Date().toISOString();
  const layouts = new Map([['local', new Map([['quillon', {
    id: 'quillon', name: 'Quillon', permission: 'CREATOR_WRITE',
    baseline: { data: layout, savedAt: now }, working: undefined, syncInfo: undefined,
  }]])]]);
  const space = (name) => layouts.get(name) ?? layouts.set(name, new Map()).get(name);
  const layoutStorage = {
    list: async (namespace) => [...space(namespace).values()],
    get: async (namespace, id) => space(namespace).get(id),
    put: async (namespace, entry) => { space(namespace).set(entry.id, entry); return entry; },
    delete: async (namespace, id) => { space(namespace).delete(id); },
    importLayouts: async () => {},
  };
  const settings = new Map();
  const listeners = new Map();
  const appConfiguration = {
    get: (key) => settings.get(key),
    set: async (key, value) => {
      settings.set(key, value);
      for (const listener of listeners.get(key) ?? []) listener(value);
    },
    addChangeListener: (key, listener) => listeners.set(key, [...(listeners.get(key) ?? []), listener]),
    removeChangeListener: (key, listener) => listeners.set(key, (listeners.get(key) ?? []).filter((l) => l !== listener)),
  };
  await window.initI18n();
  window.ReactDOM.render(window.React.createElement(window.App, {
    deepLinks: [window.location.href],
    appConfiguration,
    dataSources: [new window.FoxgloveWebSocketDataSourceFactory(), new window.RemoteDataSourceFactory()],
    layoutStorage,
    extensionLoaders: [],
    enableLaunchPreferenceScreen: false,
    enableGlobalCss: true,
  }), document.getElementById('root'));
})().catch((error) => { document.body.textContent = 'Studio did not start: ' + error; });
