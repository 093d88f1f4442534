// Firefox ESR (headless) with the Debian-packaged KeePassXC-Browser against a running Vaultry,
// driven over Marionette; Vaultry's questions are answered with xdotool on its Xvfb display.
const Marionette = require('./marionette');
const fs = require('fs');
const { execFileSync, spawn } = require('child_process');
const UUID = 'a1b2c3d4-0000-4000-8000-000000000001';
const base = `moz-extension://${UUID}/`;
const shots = process.env.TRIAL_SHOTS + '/';
const X = { ...process.env, DISPLAY: process.env.TRIAL_DISPLAY };
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function findWindow(name) {
  try { return execFileSync('xdotool', ['search', '--name', name], { env: X }).toString().trim().split('\n')[0]; }
  catch (e) { return null; }
}
async function answer(name, keys, shot, typed) {
  for (let i = 0; i < 150; ++i) {
    const w = findWindow(name);
    if (w) {
      await sleep(700);
      // No window manager: the dialog gets the input focus, then the keys go in through XTEST.
      execFileSync('xdotool', ['windowfocus', '--sync', w], { env: X });
      if (typed) {
        execFileSync('xdotool', ['key', 'ctrl+a'], { env: X });
        execFileSync('xdotool', ['type', typed], { env: X });
      }
      await sleep(300);
      execFileSync('import', ['-window', 'root', shots + shot], { env: X });
      execFileSync('xdotool', ['key', ...keys], { env: X });
      console.log(`answered "${name}"`);
      return true;
    }
    await sleep(200);
  }
  console.log(`no window "${name}"`);
  return false;
}
async function shot(m, file) {
  const png = await m.send('WebDriver:TakeScreenshot', { full: false });
  fs.writeFileSync(shots + file, Buffer.from(png.value, 'base64'));
}

(async () => {
  const profile = process.env.TRIAL_DIR + '/ffprofile';
  fs.rmSync(profile, { recursive: true, force: true });
  fs.mkdirSync(profile);
  fs.writeFileSync(profile + '/user.js', [
    'user_pref("marionette.port", 2829);',
    `user_pref("extensions.webextensions.uuids", ${JSON.stringify(JSON.stringify({ 'keepassxc-browser@keepassxc.org': UUID }))});`,
    'user_pref("browser.shell.checkDefaultBrowser", false);',
    'user_pref("browser.startup.homepage_override.mstone", "ignore");',
    'user_pref("datareporting.policy.dataSubmissionEnabled", false);',
  ].join('\n'));
  const firefox = global.ff = spawn('/usr/bin/firefox-esr', ['--headless', '--marionette', '-remote-allow-system-access', '--no-remote', '--profile', profile,
    '--window-size=1000,700'], { env: process.env, stdio: ['ignore', fs.openSync(process.env.TRIAL_DIR + '/firefox.log', 'w'), fs.openSync(process.env.TRIAL_DIR + '/firefox.err', 'w')] });
  let m;
  for (let i = 0; i < 60; ++i) {
    await sleep(500);
    try { m = new Marionette(2829); await m.connect(); break; } catch (e) { m = null; }
  }
  if (!m) throw new Error('no marionette');
  await m.send('WebDriver:NewSession', { capabilities: {} });
  const installed = await m.send('Addon:Install', { path: '/usr/share/webext/keepassxc-browser', temporary: true });
  console.log('installed', JSON.stringify(installed));
  await sleep(3000);
  // The popup's page, opened from the browser's own side, as a click on the toolbar button would.
  await m.send('Marionette:SetContext', { value: 'chrome' });
  await m.send('WebDriver:ExecuteScript', {
    script: 'const w = Services.wm.getMostRecentWindow("navigator:browser"); w.openTrustedLinkIn(arguments[0], "current"); return true;',
    args: [base + 'popups/popup.html'] });
  await m.send('Marionette:SetContext', { value: 'content' });
  await sleep(2000);
  console.log('at', JSON.stringify(await m.send('WebDriver:GetCurrentURL')));
  const run = (body) => m.send('WebDriver:ExecuteAsyncScript', {
    script: `const done = arguments[arguments.length - 1]; const browser = window.wrappedJSObject ? window.wrappedJSObject.browser : window.browser;
             (async () => { ${body} })().then((v) => done(JSON.stringify(v)), (e) => done('error: ' + e));`,
    args: [], scriptTimeout: 60000 });
  // The extension connects on its own at start; reconnect until Vaultry answers.
  for (let i = 0; i < 20; ++i) {
    const status = JSON.parse((await run(`return await browser.runtime.sendMessage({ action: 'get_status', args: [false] });`)).value);
    console.log('status', JSON.stringify(status));
    if (status.keePassXCAvailable) break;
    await run(`return await browser.runtime.sendMessage({ action: 'reconnect' });`);
    await sleep(1000);
  }
  const associating = run(`return await browser.runtime.sendMessage({ action: 'associate' });`);
  await answer('Connect a Browser', ['Return'], '1-vaultry-connect-dialog.png', 'Firefox');
  console.log('associate', JSON.stringify(await associating));
  await sleep(1000);
  await m.send('WebDriver:Refresh');
  await sleep(2000);
  await shot(m, '2-extension-popup-connected.png');
  // Fill at once when one login fits, rather than on a click in the field.
  console.log('settings', JSON.stringify(await run(`
    const item = await browser.storage.local.get('settings');
    item.settings.autoFillSingleEntry = true;
    await browser.storage.local.set({ settings: item.settings });
    await browser.runtime.sendMessage({ action: 'load_settings' });
    return item.settings.autoFillSingleEntry;`)));
  await m.send('WebDriver:Navigate', { url: 'http://127.0.0.1:8765/login.html' });
  await answer('Browser Access', ['alt+a'], '3-vaultry-site-access-dialog.png');
  let filled = null;
  for (let i = 0; i < 100; ++i) {
    const got = await m.send('WebDriver:ExecuteScript', { script: 'return [document.getElementById("user").value, document.getElementById("pass").value];', args: [] });
    filled = got.value;
    if (filled[0] && filled[1]) break;
    await sleep(200);
  }
  console.log('filled', JSON.stringify(filled));
  await shot(m, '4-form-filled.png');
  await m.send('WebDriver:DeleteSession').catch(() => {});
  firefox.kill();
  process.exit(filled && filled[0] === 'alice' && filled[1] === 'wonderland-42' ? 0 : 1);
})().catch((e) => { console.error(e); try { global.ff.kill(); } catch (x) {} process.exit(2); });
