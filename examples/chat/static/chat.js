(function () {
  "use strict";
  const room = document.body.dataset.room;
  const list = document.getElementById("messages");
  const status = document.getElementById("status");
  const form = document.getElementById("send");
  const button = document.getElementById("submit");
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  let socket = null;

  function show(name, text) {
    const item = document.createElement("li");
    const who = document.createElement("b");
    who.textContent = name;  // text, never markup: others choose what it says
    item.append(who, document.createTextNode(text));
    list.append(item);
    item.scrollIntoView({block: "nearest"});
  }

  function connect() {
    socket = new WebSocket(scheme + location.host + "/ws/" + encodeURIComponent(room));
    socket.onopen = function () {
      status.textContent = "connected";
      button.disabled = false;
    };
    socket.onmessage = function (event) {
      const message = JSON.parse(event.data);
      show(message.name, message.text);
    };
    socket.onclose = function () {
      status.textContent = "disconnected, reconnecting…";
      button.disabled = true;
      setTimeout(connect, 1000);
    };
  }

  form.addEventListener("submit", function (event) {
    event.preventDefault();
    const text = document.getElementById("text");
    const name = document.getElementById("name").value;
    if (socket && socket.readyState === WebSocket.OPEN && text.value.trim()) {
      socket.send(JSON.stringify({name: name, text: text.value}));
      text.value = "";
    }
  });
  connect();
})();
