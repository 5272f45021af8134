// The only code that knows how the page talks to the app.
//
// In the app's panel, the web view registers the script message handler
// "vantorel" and delivers events by calling window.VantorelNative.receive.
// Without that handler the page runs in a browser against the app's loopback
// server: the token comes from the address fragment (#token=…), events arrive
// over an EventSource, and each message is POSTed as JSON with the token.

const MAX_MESSAGE_BYTES = 1024 * 1024;

/**
 * open({onEvent, onStatus}) → {post(message), mode}
 * onEvent(value) receives every delivered {"event", "value"} object as is;
 * onStatus({state, message}) reports the state of the link itself
 * ("open", "retrying", "closed", "failed": no link at all) and messages
 * that could not be delivered ("send-failed").
 */
export function open({ onEvent, onStatus, onReady }) {
  const receive = (payload) => {
    onEvent(payload);
  };
  window.VantorelNative = Object.freeze({ receive });

  const handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.vantorel;
  if (handler && typeof handler.postMessage === 'function') {
    return nativeChannel(handler, onReady);
  }
  return browserChannel(receive, onStatus, onReady);
}

function nativeChannel(handler, onReady) {
  const post = (message) => {
    handler.postMessage(message);
    return true;
  };
  queueMicrotask(onReady);
  return { mode: 'native', post };
}

function browserChannel(receive, onStatus, onReady) {
  const token = new URLSearchParams(location.hash.replace(/^#/, '')).get('token');
  if (!token) {
    queueMicrotask(() => onStatus({
      state: 'failed',
      message: 'Adresse incomplète : ouvre l’adresse affichée par Vantorel, elle contient la clé d’accès de cette session.',
    }));
    return { mode: 'browser', post: () => false };
  }

  const source = new EventSource(`/events?token=${encodeURIComponent(token)}`);
  let opened = false;
  source.addEventListener('open', () => {
    onStatus({ state: 'open' });
    // After a dropped stream the app may have sent events the page never saw:
    // announcing the page again makes it send the whole picture anew.
    opened = true;
    onReady();
  });
  source.addEventListener('message', (e) => {
    let payload;
    try {
      payload = JSON.parse(e.data);
    } catch {
      return;
    }
    receive(payload);
  });
  source.addEventListener('error', () => {
    if (source.readyState === EventSource.CLOSED) {
      onStatus({
        state: 'closed',
        message: opened
          ? 'La page n’est plus reliée à Vantorel. Si Vantorel a redémarré, ouvre la nouvelle adresse qu’il affiche.'
          : 'Vantorel refuse cette adresse. Ouvre l’adresse affichée par Vantorel au démarrage.',
      });
    } else {
      onStatus({ state: 'retrying', message: 'Liaison avec Vantorel interrompue, nouvelle tentative…' });
    }
  });

  const post = (message) => {
    const body = JSON.stringify(message);
    if (new TextEncoder().encode(body).length > MAX_MESSAGE_BYTES) {
      onStatus({ state: 'send-failed', message: 'Ce message est trop long pour être transmis à Vantorel.' });
      return false;
    }
    fetch('/message', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-Vantorel-Page-Token': token },
      body,
      cache: 'no-store',
    }).then(
      (response) => {
        if (!response.ok) {
          onStatus({
            state: 'send-failed',
            message: response.status === 403
              ? 'Vantorel a refusé la demande : cette page n’est plus autorisée. Ouvre la nouvelle adresse affichée par Vantorel.'
              : 'Vantorel n’a pas pu prendre la demande en compte. Réessaie.',
          });
        }
      },
      () => onStatus({ state: 'send-failed', message: 'La demande n’a pas pu être transmise à Vantorel. Vérifie qu’il est toujours ouvert.' }),
    );
    return true;
  };
  return { mode: 'browser', post };
}
