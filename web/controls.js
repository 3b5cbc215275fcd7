// The settings form, drawn from the option table the WebAssembly module
// exports (the same table the command line parses, with each option's plain
// words): the options most pictures need first, the rest folded under
// "More settings", named presets, and the command line the form stands for,
// kept in sync and ready to copy. An option added to that table appears
// here by itself.

// Options that choose how the command line reads the movie: the page has
// its own way (the browser's decoders), so they have no control here.
const COMMAND_LINE_ONLY = new Set(['engine']);

// Named starting points for kinds of movie: each sets named options only
// (the command line shows them), every other option of the look back to its
// default. docs/web.md tells how each was measured to do what its name says.
export const PRESETS = [
  { name: 'cartoon', label: 'Line-art cartoon', args: ['--dither=atkinson', '--stable'] },
  { name: 'live', label: 'Live action', args: ['--stable', '--gamma=2.2'] },
  { name: 'dark', label: 'Dark movie', args: ['--stable', '--sharpen=1'] },
];
// What a preset leaves alone: the clip, the shades and the picture's shape
// are the user's, whatever the movie.
const KEPT_BY_PRESETS = new Set(['g', 'fit', 'start', 'duration']);

// The options that change most pictures, first; the others follow in the
// table's order (the clip's, then those folded away).
const FIRST = ['g', 'dither', 'stable', 'brightness', 'contrast', 'fit'];

export function dashed(option) {
  return (option.long ? '--' : '-') + option.name;
}

// The control's text for a value: decimals as the command line's steps give them.
function decimalText(value) {
  return String(Number(Number(value).toFixed(2)));
}

// A decimal option's value: what its number field shows, which may lie past
// the slider's ends or have more decimals than its steps (the command line
// then says why it refuses it), else the slider's.
function decimalValue(typed, slider) {
  if (typed === '') return decimalText(slider);
  return /^\d+(\.\d{1,2})?$/.test(typed) ? decimalText(typed) : typed;
}

function element(tag, props = {}) {
  return Object.assign(document.createElement(tag), props);
}

// A select whose options are `values`, shown as `words` (or the values).
function select(values, words) {
  const control = element('select');
  values.forEach((value, i) => control.append(element('option', { value, textContent: words[i] || value })));
  return control;
}

// One option's control; `field` is what the command line is read from.
function drawControl(option, id) {
  const words = option.words ? option.words.split('|') : [];
  if (option.kind === 'choice') return { field: select(option.choices.split(' '), words) };
  if (option.kind === 'flag' && words.length === 2) return { field: select(['', 'on'], words) };
  if (option.kind === 'flag') return { field: element('input', { type: 'checkbox' }) };
  if (option.kind === 'decimal') {
    // A slider to feel the way, and a field showing (and taking) its value.
    const [min, max, step] = option.choices.split(' ');
    const field = element('input', { type: 'range', min, max, step, value: option.default });
    const typed = element('input', { type: 'number', min, max, step, value: option.default, id: id + '-value',
      className: 'value' });
    typed.setAttribute('aria-label', `${option.label}, as a number`);
    field.addEventListener('input', () => { typed.value = decimalText(field.value); });
    typed.addEventListener('input', () => { if (typed.value !== '') field.value = typed.value; });
    return { field, extra: typed };
  }
  if (option.kind === 'number') {
    const [min, max] = option.choices.split(' ');
    return { field: element('input', { type: 'number', min, max, placeholder: 'off', className: 'value' }) };
  }
  const field = element('input', { type: 'text', spellcheck: false, autocomplete: 'off' });
  field.placeholder = option.kind === 'time' ? (option.default || 'the whole movie') : option.default;
  return { field };
}

// The form: the controls (by option name), the command line's text and
// what to call when anything changes.
export class SettingsForm {
  constructor(form, options, changed) {
    this.form = form;
    this.controls = new Map();
    this.changed = changed;
    this.movieName = 'movie.mp4';
    const more = element('details', { id: 'more' });
    more.append(element('summary', { textContent: 'More settings' }));
    const moreGrid = element('div', { className: 'grid' });
    more.append(moreGrid);
    const mainGrid = element('div', { className: 'grid' });
    form.append(mainGrid, more);
    const rank = (o) => (FIRST.includes(o.name) ? FIRST.indexOf(o.name) : FIRST.length);
    for (const option of [...options].sort((a, b) => rank(a) - rank(b))) {
      if (COMMAND_LINE_ONLY.has(option.name)) continue;
      this.add(option, option.seldom ? moreGrid : mainGrid);
    }
    this.commandText = document.getElementById('command');
    document.getElementById('copy').addEventListener('click', () => this.copy());
    this.drawPresets(document.getElementById('preset'));
  }

  add(option, grid) {
    const id = 'option-' + option.name;
    const { field, extra } = drawControl(option, id);
    field.id = id;
    field.name = option.name;
    if (option.kind !== 'decimal') field.value = field.type === 'checkbox' ? 'on' : (option.kind === 'choice' ? option.default : '');
    const label = element('label', { htmlFor: id, textContent: option.label + ' ' });
    label.append(element('code', { className: 'flag', textContent: dashed(option) }));
    const help = element('span', { className: 'help', id: id + '-help', textContent: option.help });
    field.setAttribute('aria-describedby', help.id);
    const cell = element('span', { className: 'cell' });
    cell.append(field);
    if (extra) cell.append(extra);
    const row = element('div', { className: 'row' });
    row.append(label, cell, help);
    grid.append(row);
    const typing = field.type === 'text' || field.type === 'number' || field.type === 'range';
    for (const f of [field, extra].filter(Boolean)) {
      f.addEventListener(typing ? 'input' : 'change', () => {
        this.preset.value = '';
        this.changed(f);
      });
    }
    this.controls.set(option.name, { option, control: field, extra });
  }

  drawPresets(preset) {
    this.preset = preset;
    preset.append(element('option', { value: '', textContent: 'as set below' }));
    for (const p of PRESETS) preset.append(element('option', { value: p.name, textContent: p.label }));
    preset.addEventListener('change', () => {
      const chosen = PRESETS.find((p) => p.name === preset.value);
      if (!chosen) return;
      this.reset((name) => !KEPT_BY_PRESETS.has(name));
      this.set(chosen.args);
      preset.value = chosen.name;
      this.changed(preset);
    });
  }

  // Puts the options for which `which(name)` holds back to their defaults.
  reset(which) {
    for (const [name, { option, control, extra }] of this.controls) {
      if (!which(name)) continue;
      if (control.type === 'checkbox') control.checked = false;
      else control.value = option.kind === 'choice' || option.kind === 'decimal' ? option.default : '';
      if (extra) extra.value = option.default;
    }
  }

  // Sets controls from command-line options ("--name=value", "--flag", "-g").
  set(args) {
    for (const arg of args) {
      const [name, value] = arg.replace(/^--?/, '').split('=');
      const { control, extra } = this.controls.get(name);
      if (control.type === 'checkbox') control.checked = true;
      else control.value = value ?? 'on';
      if (extra) extra.value = value;
    }
  }

  // An option's words, by its name or flag ("gamma", "--gamma", "-m").
  about(name) {
    const entry = this.controls.get(name.replace(/^--?/, ''));
    return entry ? { label: entry.option.label, flag: dashed(entry.option), help: entry.option.help } : null;
  }

  value(name) {
    const entry = this.controls.get(name);
    return entry ? entry.control.value.trim() : '';
  }

  setValue(name, value) {
    const entry = this.controls.get(name);
    if (entry) entry.control.value = value;
  }

  // The command line the controls stand for, after the program and the two
  // paths: the design's options first, then the long ones, each only when set.
  args() {
    const args = [];
    for (const { option, control, extra } of this.controls.values()) {
      if (option.kind === 'flag') {
        if (control.type === 'checkbox' ? control.checked : control.value) args.push(dashed(option));
        continue;
      }
      let value = control.value.trim();
      if (option.kind === 'decimal') value = decimalValue(extra.value.trim(), value);
      if (value === '' || ((option.kind === 'choice' || option.kind === 'decimal') && value === option.default)) continue;
      if (option.long) args.push(dashed(option) + '=' + value);
      else args.push(dashed(option), value);
    }
    return args;
  }

  // The whole command, with the movie's own name, as a shell would take it.
  command() {
    const quote = (word) => (/^[\w.,=:+/-]+$/.test(word) ? word : `'${word.replace(/'/g, `'\\''`)}'`);
    const output = this.movieName.replace(/\.[^.]*$/, '') + '.8xx';
    return ['movdith', this.movieName, output, ...this.args()].map(quote).join(' ');
  }

  showCommand() {
    this.commandText.value = this.command();
  }

  async copy() {
    const status = document.getElementById('copy-status');
    this.commandText.select();
    // Copying the selection works however the page was opened; the
    // clipboard API may wait on a permission for a page opened from disk.
    if (document.execCommand('copy')) {
      status.textContent = 'Copied.';
      return;
    }
    try {
      await navigator.clipboard.writeText(this.commandText.value);
      status.textContent = 'Copied.';
    } catch {
      // Without the clipboard (a page opened from disk, say) the text stays selected for Ctrl+C.
      status.textContent = 'Selected: press Ctrl+C (or ⌘C) to copy.';
    }
  }
}
