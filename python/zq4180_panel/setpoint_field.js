// A setpoint shown as text and edited in place: focus it (all of it is selected), type a value,
// Enter sends it; Escape or leaving the field shows the supply's setpoint again. The text is
// kept here, not by Vue, so a reading never overwrites what is being typed.
export default {
  template: `<div :contenteditable="editable ? 'true' : 'false'" :tabindex="editable ? 0 : -1" spellcheck="false"
                 role="textbox" @keydown="key" @focus="focus" @blur="blur"></div>`,
  props: {
    shown: String,
    editable: Boolean,
  },
  mounted() {
    this.$el.textContent = this.shown;
  },
  watch: {
    shown(text) {
      if (document.activeElement !== this.$el) this.$el.textContent = text;
    },
  },
  methods: {
    key(e) {
      if (e.key === "Enter") {
        e.preventDefault();
        let text = this.$el.textContent.trim();
        // typed after the shown setpoint (the caret was put at its end): the typed part counts
        if (text.startsWith(this.shown) && text.length > this.shown.length) text = text.slice(this.shown.length);
        this.$emit("commit", text.trim());
        this.$el.blur();
      } else if (e.key === "Escape") {
        e.preventDefault();
        this.$el.blur();
      }
    },
    focus() {
      clearTimeout(this.restore);
      const range = document.createRange();
      range.selectNodeContents(this.$el);
      const selection = window.getSelection();
      selection.removeAllRanges();
      selection.addRange(range);
    },
    blur() {
      // an emptied field waits a moment (it may be refilled at once), anything else is put back now
      const put_back = () => { if (document.activeElement !== this.$el) this.$el.textContent = this.shown; };
      if (this.$el.textContent.trim() === "") this.restore = setTimeout(put_back, 1500);
      else put_back();
    },
  },
};
