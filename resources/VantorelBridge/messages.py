# Every refusal the bridge can send, in one table: HTTP status, machine code
# and the French sentence the producer reads. Clients branch on the codes
# (the MCP server reads nothing else), so a code never changes with its
# wording. The app maps a few messages that Live itself raises (a Python
# traceback, "no registered converter"): `internal` keeps the raised text
# verbatim so those mappings still apply. Both backends, the simulated set
# and Live, refuse through this table. Loaded inside Live, so it stays
# valid Python 3.7.

REFUSALS = {
    # -- transport of a request ------------------------------------------------
    "unauthorized": (401, "UNAUTHORIZED",
                     "Jeton X-Vantorel-Token absent ou incorrect. Réinstalle le bridge depuis Vantorel."),
    "length_required": (411, "LENGTH_REQUIRED",
                        "Envoie le corps de la requête avec un en-tête Content-Length."),
    "content_length_not_number": (400, "INVALID_REQUEST", "L’en-tête Content-Length n’est pas un nombre."),
    "content_length_negative": (400, "INVALID_REQUEST", "L’en-tête Content-Length est négatif."),
    "payload_too_large": (413, "PAYLOAD_TOO_LARGE",
                          "Le corps d’une requête est limité à 1 Mio. Envoie moins de données à la fois."),
    "body_not_json": (400, "INVALID_JSON", "Le corps de la requête n’est pas du JSON valide."),
    "body_not_object": (400, "INVALID_JSON", "Le corps de la requête doit être un objet JSON."),
    "unknown_endpoint": (404, "NOT_FOUND", "Point d’accès inconnu : {method} {path}."),
    "method_not_allowed": (405, "METHOD_NOT_ALLOWED", "{path} n’accepte que {methods}."),
    "internal": (500, "INTERNAL_ERROR",
                 "VantorelBridge a échoué en traitant cette requête ({kind} : {detail}). Relis le contexte "
                 "dans Vantorel pour voir ce qui a été appliqué."),

    "live_busy": (503, "LIVE_BUSY",
                  "Live n’a pas pris la requête en charge (une boîte de dialogue est peut-être ouverte) ; "
                  "rien n’a été modifié. Ferme-la dans Live, puis réessaie."),
    "live_timeout": (504, "LIVE_TIMEOUT",
                     "Live applique encore la modification. Relis le contexte avant de continuer."),
    "live_closing": (503, "LIVE_BUSY",
                     "VantorelBridge s’arrête dans Live ; rien n’a été modifié. Vérifie la surface de "
                     "contrôle dans les préférences de Live, puis réessaie."),
    "not_supported_by_live": (501, "NOT_SUPPORTED_BY_LIVE",
                              "{feature} demande Live {needed} ou plus récent ; ceci est Live {version}."),
    "live_limit": (409, "LIVE_LIMIT", "Live a refusé : {detail}"),
    "parameter_disabled": (409, "PARAMETER_DISABLED",
                           "{parameter} de {device} est désactivé dans Live : réactive-le, puis réessaie."),

    # -- request fields ----------------------------------------------------------
    "number_required": (400, "INVALID_ARGUMENT", "{field} est obligatoire et doit être un nombre."),
    "number": (400, "INVALID_ARGUMENT", "{field} doit être un nombre."),
    "number_above": (400, "INVALID_ARGUMENT", "{field} doit être supérieur à {limit}."),
    "at_least": (400, "INVALID_ARGUMENT", "{field} doit valoir au moins {limit}."),
    "at_most": (400, "INVALID_ARGUMENT", "{field} doit valoir au plus {limit}."),
    "integer_required": (400, "INVALID_ARGUMENT", "{field} est obligatoire et doit être un nombre entier."),
    "integer": (400, "INVALID_ARGUMENT", "{field} doit être un nombre entier."),
    "flag_required": (400, "INVALID_ARGUMENT", "{field} est obligatoire et doit valoir true ou false."),
    "flag": (400, "INVALID_ARGUMENT", "{field} doit valoir true ou false."),
    "text_required": (400, "INVALID_ARGUMENT", "{field} est obligatoire et doit être une chaîne de caractères."),
    "text": (400, "INVALID_ARGUMENT", "{field} doit être une chaîne de caractères."),
    "text_length": (400, "INVALID_ARGUMENT", "{field} doit contenir de 1 à {limit} caractères."),
    "text_control": (400, "INVALID_ARGUMENT", "{field} ne doit pas contenir de caractères de contrôle."),
    "choice": (400, "INVALID_ARGUMENT", "{field} doit valoir l’une de ces valeurs : {options}."),
    "required": (400, "INVALID_ARGUMENT", "{field} est obligatoire."),
    "object": (400, "INVALID_ARGUMENT", "{field} doit être un objet."),
    "notes_array": (400, "INVALID_ARGUMENT", "{field} doit être un tableau de notes."),
    "notes_count": (400, "INVALID_ARGUMENT", "{field} doit contenir de {minimum} à {maximum} notes."),
    "note_outside_clip": (400, "INVALID_ARGUMENT",
                          "{field} commence au temps {start}, hors du clip ({length} temps)."),
    "note_outside_open_clip": (400, "INVALID_ARGUMENT",
                               "{field} commence au temps {start}, hors du clip ouvert (temps {first} "
                               "à {last})."),
    "sections_array": (400, "INVALID_ARGUMENT", "sections doit être un tableau non vide de sections."),
    "section_bars_multiple": (400, "INVALID_ARGUMENT",
                              "{field}.bars doit être un multiple de 8 (reçu : {bars})."),
    "section_phases": (400, "INVALID_ARGUMENT",
                       "{field}.phaseRoles doit contenir {count} phases, une par tranche de 8 mesures."),
    "section_phase_array": (400, "INVALID_ARGUMENT", "{field} doit être un tableau de rôles."),
    "section_unknown_role": (400, "INVALID_ARGUMENT", "{field} nomme un rôle inconnu : {role}."),
    "arrangement_too_long": (400, "INVALID_ARGUMENT",
                             "L’arrangement est limité à {limit} mesures (demandé : {bars}). Raccourcis "
                             "les sections."),
    "sample_id": (400, "INVALID_ARGUMENT",
                  "sampleId doit être un identifiant renvoyé par /v1/samples/search."),
    "sample_choice": (400, "INVALID_ARGUMENT",
                      "Donne un sampleId, ou une recherche et un rôle pour choisir un sample."),
    "job_id": (400, "INVALID_ARGUMENT", "jobId n’est pas un identifiant de capture du master."),
    "track_position": (400, "INVALID_ARGUMENT", "index doit être compris entre 0 et {maximum}."),
    "parameter_range": (400, "INVALID_ARGUMENT",
                        "{parameter} de {device} accepte des valeurs de {minimum} à {maximum}, pas {value}."),
    "parameter_whole": (400, "INVALID_ARGUMENT", "{parameter} de {device} n’accepte que des valeurs entières."),

    # -- confirmation, revision, undo ----------------------------------------------
    "confirmation_required": (400, "CONFIRMATION_REQUIRED",
                              "Cette modification demande confirm=true, une fois que l’utilisateur l’a "
                              "approuvée."),
    "confirm_true": (400, "CONFIRMATION_REQUIRED", "confirm doit valoir true quand il est donné."),
    "stale_revision": (409, "STALE_REVISION",
                       "Le Live Set a changé depuis la préparation de cette action (révision {current}, "
                       "attendue {expected}). Relis le contexte et prépare-la à nouveau."),
    "nothing_to_undo": (409, "NOTHING_TO_UNDO", "Il ne reste aucune action de Vantorel à annuler."),
    "undo_failed": (409, "UNDO_FAILED", "La dernière action de Vantorel ne peut pas être annulée : {reason}"),
    "track_gone": (409, "GONE", "la piste « {name} » a été supprimée dans Live."),
    "clip_gone": (409, "GONE", "le clip « {name} » a été supprimé dans Live."),

    # -- what the Live Set holds ---------------------------------------------------
    "track_missing": (404, "NOT_FOUND",
                      "La piste d’index {index} n’existe pas : le set compte {count} piste(s). Relis le "
                      "contexte."),
    "send_missing": (404, "NOT_FOUND",
                     "L’envoi d’index {index} n’existe pas : le set compte {count} piste(s) de retour."),
    "device_missing": (404, "NOT_FOUND",
                       "Le device d’index {index} n’existe pas : la piste {track} en compte {count}."),
    "parameter_missing": (404, "NOT_FOUND",
                          "Le paramètre d’index {index} n’existe pas : {device} en compte {count}."),
    "scene_missing": (404, "NOT_FOUND",
                      "La scène d’index {index} n’existe pas : le set compte {count} scène(s)."),
    "slot_empty": (404, "NOT_FOUND", "Cet emplacement de clip de la piste « {track} » est vide."),
    "no_source_scene": (409, "NO_SOURCE_LOOP",
                        "La scène {scene} ne contient aucun clip à partir duquel construire un arrangement. "
                        "Choisis une scène qui en contient."),
    "no_source_loop": (409, "NO_SOURCE_LOOP",
                       "Aucune scène ne contient de clips : enregistre ou crée d’abord une boucle dans la "
                       "vue Session."),
    "no_open_clip": (409, "NO_OPEN_CLIP",
                     "Aucun clip de la piste {track} « {name} » n’est ouvert dans la vue Détail. Ouvre le "
                     "clip dans Live, puis réessaie."),
    "not_midi_clip": (409, "NOT_A_MIDI_CLIP",
                      "Le clip ouvert sur la piste {track} est un clip audio, pas un clip MIDI. Ouvre un "
                      "clip MIDI, puis réessaie."),
    "empty_clip": (409, "EMPTY_CLIP",
                   "Le clip ouvert « {name} » n’a aucune note à faire varier. Ajoute des notes, puis "
                   "réessaie."),
    "not_midi_track": (409, "NOT_A_MIDI_TRACK",
                       "La piste {track} « {name} » n’est pas une piste MIDI : un clip MIDI en demande une."),
    "clip_overlap": (409, "CLIP_OVERLAP",
                     "La piste {track} contient déjà le clip « {name} » entre les temps {start} et {end}. "
                     "Choisis un autre début pour ne rien écraser."),
    "cannot_arm": (409, "CANNOT_ARM", "La piste {track} « {name} » ne peut pas être armée."),
    "no_clip_selected": (409, "NO_CLIP_SELECTED",
                         "Aucun clip n’est sélectionné dans Live. Sélectionne d’abord un clip audio ou MIDI."),
    "file_missing": (409, "FILE_MISSING",
                     "Le fichier audio du clip « {name} » est introuvable. Vérifie qu’il existe toujours, "
                     "puis réessaie."),
    "file_not_ready": (503, "NOT_READY",
                       "Le fichier audio du clip est encore en préparation. Réessaie dans un instant."),
    "library_unavailable": (500, "LIBRARY_UNAVAILABLE", "La bibliothèque de samples est illisible : {detail}"),
    "catalogue_not_ready": (503, "NOT_READY",
                            "Le catalogue des samples de la User Library est encore en préparation. Réessaie "
                            "dans un instant."),
    "sample_unknown": (404, "NOT_FOUND", "Aucun sample n’a l’identifiant {id}. Relance la recherche."),
    "sample_no_match": (404, "NOT_FOUND",
                        "Aucun sample de la bibliothèque ne correspond à cette demande. Essaie d’autres mots "
                        "ou un autre rôle."),

    # -- master capture ------------------------------------------------------------
    "capture_unknown": (404, "NOT_FOUND", "Aucune capture du master n’a l’identifiant {id}."),
    "capture_running": (409, "CAPTURE_RUNNING",
                        "Une capture du master est déjà en cours. Attends qu’elle se termine ou annule-la."),
    "arrangement_playing": (409, "TRANSPORT_PLAYING",
                            "Arrête la lecture dans Live avant de construire l’arrangement."),
    "transport_playing": (409, "TRANSPORT_PLAYING",
                          "Arrête la lecture dans Live avant de capturer le master."),

    # -- simulated edits -----------------------------------------------------------
    "sim_midi_only": (409, "NOT_A_MIDI_TRACK", "Une modification simulée n’ajoute que des clips MIDI."),
    "set_unreadable": (400, "INVALID_ARGUMENT", "Impossible de charger le set {path} : {detail}"),
    "sim_path": (400, "INVALID_ARGUMENT", "path doit être le chemin d’un point d’accès, commençant par /v1/."),
}

# What a failed capture reports in its status (`error.message`), not refusals.
CAPTURE_FAILURES = {
    "render_failed": "Le rendu du master a échoué : {detail}",
    "not_recording": "Live n’a rien enregistré 5 secondes après le départ de la lecture. Vérifie le "
                     "routage Resampling de la piste temporaire, puis relance l’écoute.",
    "not_written": "Le fichier de la capture n’a pas été écrit. Vérifie la place libre sur le disque, puis "
                   "relance l’écoute.",
}


def refusal_parts(key, **values):
    """(status, code, message) of one refusal, its placeholders filled."""
    status, code, template = REFUSALS[key]
    return status, code, template.format(**values)


def capture_failure(key, **values):
    return CAPTURE_FAILURES[key].format(**values)
