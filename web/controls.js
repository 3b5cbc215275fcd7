// The settings form, drawn from the option table the WebAssembly module
// exports (the same table the command line parses), and the command line
// it stands for. An option added to that table appears here by itself.

// Options that choose how the command line reads the movie: the page has
// its own way (the browser's decoders), so they have no control here.
const COMMAND_LINE_ONLY = new Set(['engine']);

function dashed(option) {
  return (option.long ? '--' : '-') + option.name;
}

// Builds one labelled control per option inside `form`; `changed` is called
// on every change. Returns the controls by option name.
export function buildControls(form, options, changed) {
  const controls = new Map();
  for (const option of options) {
    if (COMMAND_LINE_ONLY.has(option.name)) continue;
    const id = 'option-' + option.name;
    const label = document.createElement('label');
    label.htmlFor = id;
    label.textContent = dashed(option);
    let control;
    if (option.kind === 'choice') {
      control = document.createElement('select');
      for (const value of option.choices.split(' ')) {
        const item = document.createElement('option');
        item.value = item.textContent = value;
        control.append(item);
      }
      control.value = option.default;
    } else {
      control = document.createElement('input');
      if (option.kind === 'flag') {
        control.type = 'checkbox';
      } else if (option.kind === 'number') {
        const [least, most] = option.choices.split(' ');
        control.type = 'number';
        control.min = least;
        control.max = most;
        control.placeholder = 'off';
      } else {
        control.type = 'text';
        control.placeholder = option.kind === 'time' ? (option.default || 'the whole movie') : option.default;
        control.spellcheck = false;
        if (option.kind === 'kernel') control.size = 40;
      }
    }
    control.id = id;
    control.name = option.name;
    const help = document.createElement('span');
    help.className = 'help';
    help.id = id + '-help';
    help.textContent = option.help;
    control.setAttribute('aria-describedby', help.id);
    control.addEventListener(control.type === 'text' || control.type === 'number' ? 'input' : 'change', changed);
    const cell = document.createElement('span');
    cell.append(control);
    form.append(label, cell, help);
    controls.set(option.name, { option, control });
  }
  return controls;
}

// The command line the controls stand for, after the program and the two
// paths: the design's options first, then the long ones, each only when set.
export function commandLine(controls) {
  const args = [];
  for (const { option, control } of controls.values()) {
    if (option.kind === 'flag') {
      if (control.checked) args.push(dashed(option));
      continue;
    }
    const value = control.value.trim();
    if (value === '' || (option.kind === 'choice' && value === option.default)) continue;
    if (option.long) args.push(dashed(option) + '=' + value);
    else args.push(dashed(option), value);
  }
  return args;
}
