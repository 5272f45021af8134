// Event payloads in the shapes the app sends, for the browser flows and the
// screenshots. Each builder takes overrides for the fields a flow cares about.

export function setupStatus(over = {}) {
  return {
    bridgeBundled: true,
    bridgeInstalled: false,
    configurationInstalled: false,
    readyForAbletonSetup: false,
    destinationPath: '/home/lea/Music/Ableton/User Library/Remote Scripts/VantorelBridge',
    launchAtLogin: false,
    launchAtLoginRequiresApproval: false,
    abletonRunning: true,
    codexAvailable: true,
    claudeAvailable: false,
    preferredAgent: null,
    codexModel: 'gpt-5.6-sol',
    error: false,
    ...over,
  };
}

export const readySetup = (over = {}) => setupStatus({
  bridgeInstalled: true, configurationInstalled: true, readyForAbletonSetup: true, preferredAgent: 'codex', ...over,
});

export function session(over = {}) {
  return {
    revision: 42,
    project: 'Nuit Blanche',
    tempo: 124,
    currentTime: 32,
    tracks: ['Kick', 'Bass', 'Hats', 'Chords', 'Lead', 'Vox', 'FX Riser', 'Perc'].map((name) => ({ name })),
    ...over,
  };
}

export const contextStatus = (over = {}) => ({ revision: 42, ageMs: 180, capturedAtUnix: 1793700000, ...over });

export const identity = (over = {}) => ({ source: 'liveName', saved: true, name: 'Nuit Blanche', ...over });

const TITLES = ['Idée', 'Groove', 'Arrangement', 'Transitions', 'Mix', 'Pre-master'];

export function lifecycle({ current = 3, project = 'Nuit Blanche' } = {}) {
  const milestones = TITLES.map((title, i) => {
    const id = i + 1;
    const state = id < current ? 'reached' : id === current ? 'inProgress' : 'notStarted';
    const m = { id, title, state, evidence: [], missing: [] };
    if (id === 1) m.evidence = ['14 clip(s) avec du contenu détecté(s)'];
    if (id === 2) m.evidence = ['8 piste(s) active(s)', 'Boucle la plus longue : 16.0 mesures', 'Kick détecté · basse détectée · percussion détectée'];
    if (id === 3) {
      m.evidence = ['Arrangement : 48.0 mesures', '3 section(s) issue(s) des locators'];
      m.missing = ['Atteindre 64 mesures d’arrangement — 48.0 détectées', 'Définir au moins 4 sections vérifiables — 3 locator(s) détecté(s)'];
    }
    if (id === 4) {
      m.evidence = ['1 piste(s) de transition nommée(s)', 'Automation observée sur 0 piste(s)'];
    }
    if (id === 5) {
      m.evidence = ['6/8 piste(s) active(s) traitée(s)', '0/8 piste(s) mesurée(s)'];
      m.missing = ['Ajouter un traitement sur 2 piste(s) active(s)', 'Lire le morceau pour mesurer 8 piste(s)', 'Lire le morceau pour mesurer le master'];
    }
    if (id === 6) {
      m.evidence = ['Headroom non mesuré', 'Crête vraie non mesurée', '0 nom(s) générique(s) · 1 piste(s) à vérifier'];
      m.missing = ['Mesurer le master pendant la lecture', 'Écouter le master rendu pour valider le signal final'];
    }
    if (id < current) m.achievedAt = `2026-11-0${id}T18:30:00Z`;
    return m;
  });
  const timeline = [];
  for (let id = 1; id < current; id += 1) {
    timeline.push({ milestoneID: id, kind: 'reached', timestamp: `2026-11-0${id}T18:30:00Z`, criteriaVersion: '2026.08.25-v1' });
  }
  return {
    project, criteriaVersion: '2026.08.25-v1', currentMilestone: current,
    updatedAt: '2026-11-05T10:00:00Z', milestones, timeline,
  };
}

export function onboarding(over = {}) {
  return {
    project: 'Nuit Blanche',
    profile: { level: '', genre: '', references: '', targetFormat: '', mainBlocker: '', answerStyle: '', complete: false },
    organized: false,
    detectedStage: 3,
    validatedStage: null,
    completed: false,
    ...over,
  };
}

export function visual(over = {}) {
  return {
    project: 'Nuit Blanche',
    trackCount: 8,
    contentTracks: 7,
    arrangementBars: 48,
    sectionCount: 3,
    roles: [{ role: 'drums', count: 3 }, { role: 'bass', count: 1 }, { role: 'fx', count: 1 }, { role: 'harmony', count: 1 }, { role: 'lead', count: 1 }, { role: 'vocal', count: 1 }],
    selectedTrack: 'Bass',
    selectedRole: 'bass',
    ...over,
  };
}

export function plan(over = {}) {
  return {
    planId: 'A6E1F0C2-1B7D-4E1F-9C39-2D7E0D8B51F1',
    title: 'Bassline en F minor',
    intent: 'Créer une piste MIDI et un clip de basse de 4 mesures en F minor, sans toucher aux autres pistes.',
    expectedRevision: 42,
    source: 'local-safety-planner',
    actions: [
      { id: 'S1', command: 'tracks.create-midi', title: 'Créer une piste MIDI', detail: 'Nouvelle piste « Bass F minor » en fin de liste.', mode: 'write', reversible: true },
      { id: 'S2', command: 'clips.create-midi', title: 'Écrire la bassline', detail: 'Clip de 4 mesures à la mesure 9, 14 notes en F minor.', mode: 'write', reversible: true },
    ],
    ...over,
  };
}

export function projectIndex(over = {}) {
  const project = (name, stage, stageName, missing, timeRemaining, extra = {}) => ({
    path: `/home/lea/Musique/Projets/${name} Project/${name}.als`,
    name, creator: 'Ableton Live 12.1', schemaVersion: '5.12', modifiedAt: '2026-10-28T21:14:00Z', fileSize: 284000,
    tempo: 124, tracks: [{ name: 'Kick', clipCount: 4, deviceCount: 2, automated: false }, { name: 'Bass', clipCount: 3, deviceCount: 3, automated: true }],
    clipCount: 7, longestClipBeats: 64, arrangementLengthBeats: 256, locatorCount: 5,
    stage, stageName, missing, timeRemaining, score: 4.2, warnings: [], ...extra,
  });
  return {
    indexed: true,
    folderPath: '/home/lea/Musique/Projets',
    scannedAt: '2026-11-05T09:12:00Z',
    projects: [
      project('Nuit Blanche', 5, 'Mix', 'Équilibrer les niveaux et traiter les pistes sans device', 'environ 2 h'),
      project('Aube', 3, 'Arrangement', 'Étendre l’arrangement à 64 mesures', 'environ 4 h', { tempo: 128.5 }),
      project('Esquisse 7', 1, 'Idée', 'Développer la boucle en 8 mesures', 'environ 6 h', { warnings: ['Aucun tempo trouvé dans ce projet.'] }),
    ],
    warnings: ['Impossible de décompresser Vieux morceau.als. Le projet reste signalé dans les avertissements.'],
    ...over,
  };
}

export function preferenceProfile(lines = ['createMidiClip · 2 validé(s), 0 refusé(s), 1 annulé(s)', 'organize · 1 validé(s), 1 refusé(s), 0 annulé(s)']) {
  return { signals: [], updatedAt: '2026-11-05T10:00:00Z', summaryLines: lines };
}

/** A measurement with drawable shapes: a decaying pulse train and a pink-ish spectrum. */
export function measurement(over = {}) {
  const waveform = Array.from({ length: 120 }, (_, i) => Number((0.25 + 0.6 * Math.abs(Math.sin(i / 3.2)) * (i % 8 === 0 ? 1 : 0.7)).toFixed(3)));
  const spectrogram = Array.from({ length: 60 }, (_, t) => Array.from({ length: 48 }, (_, c) => {
    const base = 1 - c / 60;
    const beat = t % 8 < 2 && c < 12 ? 0.15 : 0;
    return Number(Math.max(0, Math.min(1, base * 0.9 + beat - ((c * 7 + t * 3) % 11) / 60)).toFixed(3));
  }));
  return {
    scope: 'rawClipSourcePreFx',
    analyzedSeconds: 30.5,
    sourceDurationSeconds: 61.2,
    sampleRate: 44100,
    channelCount: 2,
    samplePeakDbFS: -0.8,
    rmsDbFS: -12.4,
    crestFactorDb: 11.6,
    dynamicRangeDb: 7.9,
    dcOffset: 0.0003,
    clippedSamplePercent: 0,
    spectralCentroidHz: 1840,
    bandEnergyPercent: {
      sub_20_60: 18.2, bass_60_120: 26.4, lowMid_120_400: 21.1, mid_400_2000: 19.5, presence_2000_6000: 10.3, air_6000_20000: 4.5,
    },
    waveform,
    spectrogram,
    measurementNotice: 'Analyse locale du fichier source du clip, avant les devices, retours et traitements master. Ce n’est pas le rendu entendu au master.',
    privacy: 'Le fichier audio reste sur cet ordinateur.',
    stereoCorrelation: 0.82,
    stereoWidthPercent: 34,
    key: 'F minor',
    keyConfidence: 0.71,
    track: 'Bass',
    clip: 'Bass Loop 2',
    project: 'Nuit Blanche',
    revision: 42,
    ...over,
  };
}

export function masterMeasurement(over = {}) {
  return measurement({
    scope: 'renderedMasterResampling',
    measurementNotice: 'Mesure locale de la sortie master réellement rendue par Ableton, avec devices, retours et traitements master actifs.',
    captureBars: 8,
    temporaryTrackRemoved: true,
    track: undefined,
    clip: undefined,
    ...over,
  });
}
